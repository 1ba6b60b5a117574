#include "dialog/certbox.h"

#include "model/partnerlink.h"
#include "platform/msgbox.h"
#include "platform/textconv.h"

#include <QLocale>
#include <QStringList>
#include <QWidget>

namespace {

QString WarningText(const TCertWarning& warning, const TCertificateFile& file,
                    const QLocale& locale) {
    const QString date = CertDateText(warning.at, locale);
    switch (warning.kind) {
    case TCertWarningKind::Unreadable:
        return QStringLiteral("The dialog cannot read this file (%1). The AS2 service reads the "
                              "file itself and may accept it.")
            .arg(file.error);
    case TCertWarningKind::NotCertificate:
        return QStringLiteral("This file is not a certificate: the dialog finds no certificate "
                              "in it. The AS2 service reads the file itself and may accept it.");
    case TCertWarningKind::Locked:
        return QStringLiteral("The dialog cannot open this file with this password: the password "
                              "is wrong, or the file uses an older format. The AS2 service reads "
                              "the file itself and may accept it.");
    case TCertWarningKind::Expired:
        return QStringLiteral("This certificate expired on %1.").arg(date);
    case TCertWarningKind::NotYetValid:
        return QStringLiteral("This certificate is not valid before %1.").arg(date);
    case TCertWarningKind::NoPrivateKey:
        return QStringLiteral("This file holds a certificate but no private key, which the local "
                              "partner's certificate needs (a .p12 or .pfx file).");
    case TCertWarningKind::ExpiresSoon:
        if (warning.daysLeft <= 0)
            return QStringLiteral("This certificate expires today, %1.").arg(date);
        return QStringLiteral("This certificate expires on %1, in %2 %3.")
            .arg(date)
            .arg(warning.daysLeft)
            .arg(warning.daysLeft == 1 ? QStringLiteral("day") : QStringLiteral("days"));
    }
    return QString();
}

QString Details(const TCertificateFile& file, const QString& path, const QLocale& locale) {
    QStringList lines{QStringLiteral("File: ") + path};
    if (file.status == TCertFileStatus::Read)
        lines << QStringLiteral("Subject: ") + file.subject.text()
              << QStringLiteral("Issuer: ") + file.issuer.text()
              << QStringLiteral("Valid from: ") + CertDateText(file.notBefore, locale)
              << QStringLiteral("Valid until: ") + CertDateText(file.notAfter, locale)
              << QStringLiteral("SHA-256 fingerprint: ") + file.sha256
              << QStringLiteral("Key: ") + file.keyText();
    return lines.join(QLatin1Char('\n'));
}

} // namespace

bool ConfirmCertificateImport(QWidget* parent, const std::string& path,
                              const std::string* password) {
    const TCertSide side = password != nullptr ? TCertSide::Local : TCertSide::Remote;
    const QString shownPath = ToQString(path);
    const TCertificateFile file = ReadCertificateFile(
        shownPath, side, password != nullptr ? QByteArray::fromStdString(*password) : QByteArray());
    const std::vector<TCertWarning> warnings =
        CertificateWarnings(file, side, QDateTime::currentDateTimeUtc());
    const QLocale locale;

    // A file that shows nothing has one warning, and the question closes its sentence.
    QStringList text;
    for (const TCertWarning& warning : warnings)
        text << WarningText(warning, file, locale);
    if (file.status == TCertFileStatus::Read)
        text << QStringLiteral("Import this certificate?");
    else
        text.back() += QStringLiteral(" Import anyway?");
    TMsgDlgOptions options;
    options.buttonTexts = {{mbOK, QStringLiteral("Import")}};
    options.defaultButton = CancelByDefault(warnings) ? mbCancel : mbOK;
    options.icon = warnings.empty() ? mtConfirmation : mtWarning;
    options.details = Details(file, shownPath, locale);
    options.parent = parent;
    const QString caption = side == TCertSide::Local ? QStringLiteral("Import Local Certificate")
                                                     : QStringLiteral("Import Remote Certificate");
    return MessageDlg(caption, text.join(QStringLiteral("\n\n")), mtCustom,
                      MsgButton(mbOK) | MsgButton(mbCancel), 0, options) == mbOK;
}

void ShowFileBehind(QWidget* window, const TPartnerLink& link) {
    if (link.FileBehind().empty())
        return;
    TMsgDlgOptions options;
    options.icon = mtInformation;
    options.parent = window;
    MessageDlg(window->windowTitle(),
               ToQString(link.FileBehind()) +
                   QStringLiteral(". OK brings the file in line; the AS2 service must then be "
                                  "restarted."),
               mtCustom, MsgButton(mbOK), 0, options);
}
