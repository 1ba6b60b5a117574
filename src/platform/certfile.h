#pragma once
// Reading a certificate file only to show it before it is imported (the service reads the file
// itself), and the rules that warn about it; the words are the face's own.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <vector>

class QLocale;

// Which partner's certificate is imported: the local one comes with its private key.
enum class TCertSide { Local, Remote };

enum class TCertFileStatus {
    Read,           // a certificate, its details below
    Unreadable,     // the file could not be read at all (error says why)
    NotCertificate, // read, but no certificate and no PKCS #12 file in it
    Locked,         // a PKCS #12 file that does not open: a wrong password, or a format too old
};

struct TCertName {
    QString commonName;
    QString organization;
    // "CN=..., O=..." without the parts the certificate lacks.
    QString text() const;
};

struct TCertificateFile {
    TCertFileStatus status = TCertFileStatus::Unreadable;
    QString error; // why the file could not be read, for Unreadable
    TCertName subject;
    TCertName issuer;
    QDateTime notBefore; // UTC
    QDateTime notAfter;  // UTC
    QString sha256;      // "AB:CD:...", upper-case hex
    QString keyType;     // "RSA", "EC", "DSA", "DH"; empty when unknown
    int keyBits = -1;    // -1 when unknown
    bool hasPrivateKey = false;
    // "RSA, 2048 bits"; what is known of it.
    QString keyText() const;
};

// Reads the file as the given side's import expects it: the local side's PKCS #12 file with the
// password (UTF-8 bytes, as the command carries it), or a PEM or DER certificate on either side.
// Never throws; the TLS backend's own warnings are silenced while it reads.
TCertificateFile ReadCertificateFile(const QString& path, TCertSide side,
                                     const QByteArray& password = QByteArray());

enum class TCertWarningKind {
    Unreadable,     // the file's details cannot be shown (status Unreadable)
    NotCertificate, // status NotCertificate
    Locked,         // status Locked
    Expired,        // at: the end of its validity
    NotYetValid,    // at: the start of its validity
    NoPrivateKey,   // a certificate alone, chosen for the local partner
    ExpiresSoon,    // at: the end of its validity, less than 30 days from now; the only one
                    // that leaves OK the default answer
};

struct TCertWarning {
    TCertWarningKind kind;
    QDateTime at;     // the date the warning names, when it names one (UTC)
    int daysLeft = 0; // ExpiresSoon: whole calendar days left in local time, 0 for today
};

// Every warning about the file, most serious first: a file that cannot be shown, then validity
// (expired, not yet valid), a missing private key, and last an end of validity within 30 days.
std::vector<TCertWarning> CertificateWarnings(const TCertificateFile& file, TCertSide side,
                                              const QDateTime& now);
// True when any warning makes Cancel the default answer.
bool CancelByDefault(const std::vector<TCertWarning>& warnings);

// A date as the locale writes it in full, without the day of the week ("1 January 2021" in
// British English), in local time.
QString CertDateText(const QDateTime& when, const QLocale& locale);

// A SHA-256 fingerprint as typed, colons, blanks and letter case ignored, in the form the reader
// gives ("AB:CD:..."); empty when it is not 64 hexadecimal digits.
QString NormalizedSha256(const QString& text);
// True when the expected fingerprint, as typed, names the certificate's.
bool Sha256Matches(const QString& expected, const QString& sha256);
