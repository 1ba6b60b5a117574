#include "support/certfiles.h"

#include "support/standin.h"

#include <QLocale>
#include <ctime>

const char ExpiredSha256[] = "65:00:41:68:38:FE:E7:66:CD:9E:3D:7F:9B:F0:82:C6:"
                             "84:22:C0:89:6A:D9:5E:FA:49:83:B7:9C:DA:6E:8B:C9";

bool openssl(const QStringList& args) {
    QByteArray errors;
    const int code = runProgram(QStringLiteral("openssl"), args, &errors);
    if (code != 0)
        qWarning("openssl %s: %s", qPrintable(args.join(' ')), errors.constData());
    return code == 0;
}

QString supportDataFile(const QString& name) {
    return QStringLiteral(VANTREL_TEST_DATA "/") + name;
}

void FixLocaleAndTimeZone() {
    qputenv("TZ", "Europe/London");
    ::tzset();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
}
