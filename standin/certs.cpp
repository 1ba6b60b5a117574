#include "certs.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {

namespace {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509_free>>;
using Pkcs12 = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
void freeCertStack(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
using CertStack = std::unique_ptr<STACK_OF(X509), Deleter<freeCertStack>>;

// Certificate files are small; anything larger is not one.
constexpr off_t MaxFileSize = 1 << 20;

CertResult refuse(const QString& why) {
    ERR_clear_error();
    return {false, why, {}};
}

// Reads a regular file only: a FIFO or a device named by the command must not block the service.
bool readCertFile(const QString& path, QByteArray& out, QString& error) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error =
            QStringLiteral("cannot open the file: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        error = QStringLiteral("not a regular file");
        ok = false;
    } else if (ok && st.st_size > MaxFileSize) {
        error = QStringLiteral("the file is too large for a certificate");
        ok = false;
    }
    if (ok) {
        out.resize(static_cast<qsizetype>(st.st_size));
        qsizetype got = 0;
        while (got < out.size()) {
            const ssize_t n = ::read(fd, out.data() + got, static_cast<size_t>(out.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        out.truncate(got);
    }
    ::close(fd);
    return ok;
}

Bio memoryBio(const QByteArray& data) {
    return Bio(BIO_new_mem_buf(data.constData(), static_cast<int>(data.size())));
}

QString subjectOf(X509* cert) {
    Bio out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(cert), 0,
                                   XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return {};
    char* text = nullptr;
    const long n = BIO_get_mem_data(out.get(), &text);
    return QString::fromUtf8(text, static_cast<qsizetype>(n));
}

// Never prompt on a terminal for a PEM block that claims to be encrypted.
int noPassword(char*, int, int, void*) {
    return -1;
}

bool commitFile(const QString& path, const QByteArray& bytes, QString& error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

Cert selfSigned(EVP_PKEY* key, const QString& commonName, long serial) {
    Cert cert(X509_new());
    if (!cert)
        return nullptr;
    const QByteArray cn = commonName.toUtf8();
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* cnBytes = reinterpret_cast<const unsigned char*>(cn.constData());
    const auto* org = reinterpret_cast<const unsigned char*>("Vantrel demo");
    const bool ok = X509_set_version(cert.get(), 2) &&
                    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) &&
                    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) &&
                    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600) &&
                    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, org, -1, -1, 0) &&
                    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cnBytes, -1, -1, 0) &&
                    X509_set_issuer_name(cert.get(), name) && X509_set_pubkey(cert.get(), key) &&
                    X509_sign(cert.get(), key, EVP_sha256()) > 0;
    return ok ? std::move(cert) : nullptr;
}

} // namespace

// Loading any provider by hand turns off the implicit default one, so both are loaded.
CryptoProviders::CryptoProviders()
    : default_(OSSL_PROVIDER_load(nullptr, "default")),
      legacy_(OSSL_PROVIDER_load(nullptr, "legacy")) {
    ERR_clear_error();
}

CryptoProviders::~CryptoProviders() {
    if (legacy_)
        OSSL_PROVIDER_unload(legacy_);
    if (default_)
        OSSL_PROVIDER_unload(default_);
}

CertResult checkPkcs12(const QString& path, const QString& password) {
    QByteArray data;
    QString error;
    if (!readCertFile(path, data, error))
        return refuse(error);
    Bio in = memoryBio(data);
    Pkcs12 p12(in ? d2i_PKCS12_bio(in.get(), nullptr) : nullptr);
    if (!p12)
        return refuse(QStringLiteral("not a PKCS #12 file"));
    const QByteArray pass = password.toUtf8();
    if (PKCS12_mac_present(p12.get())) {
        // An empty password may have been applied as no password or as an empty one.
        const bool macOk = pass.isEmpty() ? PKCS12_verify_mac(p12.get(), nullptr, 0) ||
                                                PKCS12_verify_mac(p12.get(), "", 0)
                                          : PKCS12_verify_mac(p12.get(), pass.constData(), -1);
        if (!macOk)
            return refuse(QStringLiteral("wrong password"));
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    const int parsed = PKCS12_parse(p12.get(), pass.constData(), &rawKey, &rawCert, &rawCa);
    Key key(rawKey);
    Cert cert(rawCert);
    CertStack ca(rawCa);
    if (!parsed)
        return refuse(QStringLiteral("cannot decrypt the file with this password"));
    if (!key)
        return refuse(QStringLiteral("the file holds no private key"));
    if (!cert)
        return refuse(QStringLiteral("the file holds no certificate for its key"));
    ERR_clear_error();
    return {true, {}, subjectOf(cert.get())};
}

CertResult checkX509(const QString& path) {
    QByteArray data;
    QString error;
    if (!readCertFile(path, data, error))
        return refuse(error);
    Bio in = memoryBio(data);
    Cert cert(in ? PEM_read_bio_X509(in.get(), nullptr, noPassword, nullptr) : nullptr);
    if (!cert) {
        const auto* start = reinterpret_cast<const unsigned char*>(data.constData());
        const unsigned char* p = start;
        cert.reset(d2i_X509(nullptr, &p, static_cast<long>(data.size())));
        // DER must fill the file: a certificate followed by other bytes is a damaged file.
        if (cert && p != start + data.size())
            cert.reset();
    }
    if (!cert)
        return refuse(QStringLiteral("not an X.509 certificate (PEM or DER)"));
    ERR_clear_error();
    return {true, {}, subjectOf(cert.get())};
}

bool writeDemoCertificates(const QString& dir, const QString& localName, const QString& remoteName,
                           const QString& password, QString& error) {
    if (!QDir().mkpath(dir)) {
        error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    // Elliptic-curve keys are made in an instant, unlike RSA keys.
    Key localKey(EVP_EC_gen("P-256"));
    Key remoteKey(EVP_EC_gen("P-256"));
    Cert localCert = localKey ? selfSigned(localKey.get(), localName, 1) : nullptr;
    Cert remoteCert = remoteKey ? selfSigned(remoteKey.get(), remoteName, 2) : nullptr;
    const QByteArray pass = password.toUtf8();
    const QByteArray friendly = localName.toUtf8();
    Pkcs12 p12(localCert ? PKCS12_create(pass.constData(), friendly.constData(), localKey.get(),
                                         localCert.get(), nullptr, 0, 0, 0, 0, 0)
                         : nullptr);
    Bio p12Out(BIO_new(BIO_s_mem()));
    Bio cerOut(BIO_new(BIO_s_mem()));
    if (!p12 || !remoteCert || !p12Out || !cerOut || i2d_PKCS12_bio(p12Out.get(), p12.get()) != 1 ||
        PEM_write_bio_X509(cerOut.get(), remoteCert.get()) != 1) {
        error = QStringLiteral("cannot make the demo certificates");
        ERR_clear_error();
        return false;
    }
    auto bytesOf = [](BIO* bio) {
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        return QByteArray(data, static_cast<qsizetype>(n));
    };
    return commitFile(QDir(dir).filePath(QStringLiteral("local.p12")), bytesOf(p12Out.get()),
                      error) &&
           commitFile(QDir(dir).filePath(QStringLiteral("remote.cer")), bytesOf(cerOut.get()),
                      error);
}

} // namespace standin
