#include "platform/certfile.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <algorithm>
#include <cstring>

namespace {

// More than any certificate or key store holds; a larger file is not one.
constexpr qint64 LargestFile = 4 * 1024 * 1024;

// The OpenSSL backend warns on standard error whenever a PKCS #12 file does not open; the reader
// says so itself, and a script's standard error holds only our program's messages.
constexpr char BackendCategory[] = "qt.tlsbackend.ossl";

QLoggingCategory::CategoryFilter previousFilter = nullptr;

void QuietBackend(QLoggingCategory* category) {
    previousFilter(category);
    if (std::strcmp(category->categoryName(), BackendCategory) == 0)
        for (QtMsgType type : {QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg})
            category->setEnabled(type, false);
}

// Skips one DER tag and its length at pos, giving the length (-1: indefinite, as BER allows and
// some tools write PKCS #12); false when the bytes are no such header with that tag.
bool SkipHeader(const QByteArray& der, qsizetype& pos, char tag, qsizetype& length) {
    if (pos + 2 > der.size() || der[pos] != tag)
        return false;
    const auto first = static_cast<unsigned char>(der[pos + 1]);
    const int count = first > 0x80 ? first & 0x7f : 0;
    if (count > 4 || pos + 2 + count > der.size())
        return false;
    length = first < 0x80 ? first : first == 0x80 ? -1 : 0;
    for (int i = 0; i < count; ++i)
        length = (length << 8) | static_cast<unsigned char>(der[pos + 2 + i]);
    pos += 2 + count;
    return true;
}

// SEQUENCE { INTEGER 3, SEQUENCE { OID pkcs7-data or pkcs7-signedData: Qt's import only says
// whether it opened, so this tells a key store that would not open from no certificate at all.
bool LooksLikePkcs12(const QByteArray& bytes) {
    static const QByteArray Pkcs7 = QByteArray::fromHex("2a864886f70d0107");
    qsizetype pos = 0;
    qsizetype length = 0;
    if (!SkipHeader(bytes, pos, 0x30, length) || !SkipHeader(bytes, pos, 0x02, length) ||
        length != 1 || pos >= bytes.size() || bytes[pos] != 3)
        return false;
    ++pos;
    if (!SkipHeader(bytes, pos, 0x30, length) || !SkipHeader(bytes, pos, 0x06, length) ||
        length != Pkcs7.size() + 1 || pos + length > bytes.size())
        return false;
    const char kind = bytes[pos + Pkcs7.size()];
    return bytes.mid(pos, Pkcs7.size()) == Pkcs7 && (kind == 1 || kind == 2);
}

TCertName NameOf(const QSslCertificate& cert, bool subject) {
    const auto info = [&](QSslCertificate::SubjectInfo field) {
        return (subject ? cert.subjectInfo(field) : cert.issuerInfo(field))
            .join(QStringLiteral(", "));
    };
    return {info(QSslCertificate::CommonName), info(QSslCertificate::Organization)};
}

// By QSsl::KeyAlgorithm; an opaque key's type is unknown.
const char* const AlgorithmNames[] = {"", "RSA", "DSA", "EC", "DH"};
static_assert(QSsl::Opaque == 0 && QSsl::Dh == 4, "key algorithms");

void Describe(TCertificateFile& file, const QSslCertificate& cert) {
    file.status = TCertFileStatus::Read;
    file.subject = NameOf(cert, true);
    file.issuer = NameOf(cert, false);
    file.notBefore = cert.effectiveDate().toUTC();
    file.notAfter = cert.expiryDate().toUTC();
    file.sha256 = QString::fromLatin1(cert.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
    const QSslKey key = cert.publicKey();
    file.keyType = QString::fromLatin1(AlgorithmNames[key.algorithm()]);
    file.keyBits = key.isNull() ? -1 : key.length();
}

QSslCertificate FirstCertificate(const QByteArray& bytes) {
    for (QSsl::EncodingFormat format : {QSsl::Pem, QSsl::Der}) {
        const QList<QSslCertificate> found = QSslCertificate::fromData(bytes, format);
        if (!found.isEmpty() && !found.front().isNull())
            return found.front();
    }
    return QSslCertificate();
}

} // namespace

QString TCertName::text() const {
    QStringList parts;
    if (!commonName.isEmpty())
        parts << QStringLiteral("CN=") + commonName;
    if (!organization.isEmpty())
        parts << QStringLiteral("O=") + organization;
    return parts.join(QStringLiteral(", "));
}

QString TCertificateFile::keyText() const {
    QStringList parts;
    if (!keyType.isEmpty())
        parts << keyType;
    if (keyBits > 0)
        parts << QStringLiteral("%1 bits").arg(keyBits);
    return parts.isEmpty() ? QStringLiteral("unknown") : parts.join(QStringLiteral(", "));
}

TCertificateFile ReadCertificateFile(const QString& path, TCertSide side,
                                     const QByteArray& password) {
    TCertificateFile file;
    const auto unreadable = [&file](const QString& why) {
        file.error = why;
        return file;
    };
    const QFileInfo info(path);
    if (!info.exists())
        return unreadable(QStringLiteral("no such file"));
    // A FIFO or a device would block the read or never end; the file dialog lets them through.
    if (!info.isFile())
        return unreadable(QStringLiteral("not a regular file"));
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return unreadable(in.errorString());
    const QByteArray bytes = in.read(LargestFile + 1);
    if (in.error() != QFileDevice::NoError)
        return unreadable(in.errorString());
    if (bytes.size() > LargestFile) {
        file.status = TCertFileStatus::NotCertificate;
        return file;
    }
    if (!QSslSocket::isClassImplemented(QSsl::ImplementedClass::Certificate))
        return unreadable(QStringLiteral("Qt's TLS plugin, which reads certificates, is missing"));

    // The filter runs inside installFilter already, so it must know its predecessor first; that
    // one applies again afterwards, also to the categories the backend registered meanwhile.
    previousFilter = QLoggingCategory::installFilter(nullptr);
    QLoggingCategory::installFilter(QuietBackend);
    const auto restore = qScopeGuard([] { QLoggingCategory::installFilter(previousFilter); });
    file.status = TCertFileStatus::NotCertificate;
    if (side == TCertSide::Local) {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        QSslKey key;
        QSslCertificate cert;
        QList<QSslCertificate> chain;
        if (QSslCertificate::importPkcs12(&buffer, &key, &cert, &chain, password) &&
            !cert.isNull()) {
            Describe(file, cert);
            file.hasPrivateKey = !key.isNull();
            return file;
        }
    }
    const QSslCertificate cert = FirstCertificate(bytes);
    if (!cert.isNull())
        Describe(file, cert);
    else if (side == TCertSide::Local && LooksLikePkcs12(bytes))
        file.status = TCertFileStatus::Locked;
    return file;
}

std::vector<TCertWarning> CertificateWarnings(const TCertificateFile& file, TCertSide side,
                                              const QDateTime& now) {
    if (file.status == TCertFileStatus::Unreadable)
        return {{TCertWarningKind::Unreadable, {}}};
    if (file.status == TCertFileStatus::NotCertificate)
        return {{TCertWarningKind::NotCertificate, {}}};
    if (file.status == TCertFileStatus::Locked)
        return {{TCertWarningKind::Locked, {}}};
    std::vector<TCertWarning> warnings;
    if (file.notAfter.isValid() && now > file.notAfter)
        warnings.push_back({TCertWarningKind::Expired, file.notAfter});
    else if (file.notBefore.isValid() && now < file.notBefore)
        warnings.push_back({TCertWarningKind::NotYetValid, file.notBefore});
    if (side == TCertSide::Local && !file.hasPrivateKey)
        warnings.push_back({TCertWarningKind::NoPrivateKey, {}});
    if (file.notAfter.isValid() && now <= file.notAfter && now.addDays(30) > file.notAfter) {
        const int days = int(now.toLocalTime().date().daysTo(file.notAfter.toLocalTime().date()));
        warnings.push_back({TCertWarningKind::ExpiresSoon, file.notAfter, days});
    }
    return warnings;
}

bool CancelByDefault(const std::vector<TCertWarning>& warnings) {
    return std::any_of(warnings.begin(), warnings.end(), [](const TCertWarning& warning) {
        return warning.kind != TCertWarningKind::ExpiresSoon;
    });
}

QString CertDateText(const QDateTime& when, const QLocale& locale) {
    // The locale's long format names the day of the week, which a validity date does not need.
    static const QRegularExpression Weekday(QStringLiteral(R"(^dddd[\s,،]*|[\s,،]*dddd$)"));
    QString format = locale.dateFormat(QLocale::LongFormat);
    format.remove(Weekday);
    return locale.toString(when.toLocalTime().date(), format);
}

QString NormalizedSha256(const QString& text) {
    static const QRegularExpression Hex(QStringLiteral("\\A[0-9A-F]{64}\\z"));
    QString hex;
    for (QChar c : text)
        if (c != QLatin1Char(':') && !c.isSpace())
            hex += c.toUpper();
    if (!Hex.match(hex).hasMatch())
        return QString();
    QStringList pairs;
    for (qsizetype i = 0; i < hex.size(); i += 2)
        pairs << hex.mid(i, 2);
    return pairs.join(QLatin1Char(':'));
}

bool Sha256Matches(const QString& expected, const QString& sha256) {
    const QString normalized = NormalizedSha256(expected);
    return !normalized.isEmpty() && normalized == NormalizedSha256(sha256);
}
