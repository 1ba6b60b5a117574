// Certificate files, read with libcrypto: what an import accepts, and the demo files.
#pragma once

#include <QString>

#include <openssl/types.h>

namespace standin {

struct CertResult {
    bool ok = false;
    QString error;   // why the file was refused
    QString subject; // of the certificate, when ok
};

// Holds libcrypto's providers for the program's run, the legacy one included, so that files made
// with older algorithms open too.
class CryptoProviders {
public:
    CryptoProviders();
    ~CryptoProviders();
    CryptoProviders(const CryptoProviders&) = delete;
    CryptoProviders& operator=(const CryptoProviders&) = delete;

private:
    OSSL_PROVIDER* default_;
    OSSL_PROVIDER* legacy_;
};

// A PKCS #12 file that opens with the password and holds a private key and its certificate.
CertResult checkPkcs12(const QString& path, const QString& password);
// An X.509 certificate, PEM or DER.
CertResult checkX509(const QString& path);

// Writes local.p12 (private key and certificate, protected by password) and remote.cer (PEM).
bool writeDemoCertificates(const QString& dir, const QString& localName, const QString& remoteName,
                           const QString& password, QString& error);

} // namespace standin
