#include "sample.h"

#include "certs.h"
#include "store.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace standin {

namespace {

const QString Local = QStringLiteral("AS2Local");
const QString Remote = QStringLiteral("AS2Remote");
const QString LocalId = QStringLiteral("LOCALID");
const QString RemoteId = QStringLiteral("REMOTEID");
const QString MdnOptions = QStringLiteral(
    "signed-receipt-protocol=optional,pkcs7-signature; signed-receipt-micalg=optional,md5");

Partner partner(const QString& name, const QString& id, const QString& email) {
    return {name,
            {{QStringLiteral("as2_id"), id},
             {QStringLiteral("email"), email},
             {QStringLiteral("x509_alias"), name + QStringLiteral(":0")}}};
}

PartnerData sampleData() {
    PartnerData data;
    data.partners.put(partner(Local, LocalId, QStringLiteral("as2@local.example")));
    data.partners.put(partner(Remote, RemoteId, QStringLiteral("as2@remote.example")));
    data.partnerships.put(
        {Local + '-' + Remote,
         Local,
         Remote,
         {{QStringLiteral("protocol"), QStringLiteral("as2")},
          {QStringLiteral("subject"), "From " + Local + " to " + Remote},
          {QStringLiteral("as2_url"), QStringLiteral("http://localhost:5080")},
          {QStringLiteral("as2_mdn_to"), QStringLiteral("http://localhost:10081")},
          {QStringLiteral("as2_mdn_options"), MdnOptions},
          {QStringLiteral("encrypt"), QStringLiteral("3des")},
          {QStringLiteral("sign"), QStringLiteral("md5")}}});
    data.partnerships.put({Remote + '-' + Local,
                           Remote,
                           Local,
                           {{QStringLiteral("protocol"), QStringLiteral("as2")},
                            {QStringLiteral("subject"), "From " + Remote + " to " + Local},
                            {QStringLiteral("as2_url"), QStringLiteral("http://localhost:4080")},
                            {QStringLiteral("as2_mdn_options"), MdnOptions},
                            {QStringLiteral("encrypt"), QStringLiteral("3des")},
                            {QStringLiteral("sign"), QStringLiteral("md5")}}});
    return data;
}

// The service's own settings: the two AS2 IDs behind both keys, and one directory polling
// module in the six-line shape that the dialog also writes.
QByteArray sampleConfig() {
    const QByteArray l = LocalId.toUtf8();
    const QByteArray r = RemoteId.toUtf8();
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<as2config>\n"
           "\t<partnerships filename=\"%home%/partnerships.xml\"/>\n"
           "\t<certificates filename=\"%home%/keystore.xml\"/>\n"
           "\t<modules>\n"
           "<module classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"\n"
           "outboxdir=\"%home%/to" +
           r + "/\"\n" + "errordir=\"%home%/to" + r + "/error\"\n" +
           "interval=\"5\"\n"
           "defaults=\"sender.as2_id=" +
           l + ", receiver.as2_id=" + r + "\"\n" +
           "mimetype=\"application/EDI-X12\"/>\n"
           "\t\t<module classname=\"org.corvane.processor.receiver.AS2ReceiverModule\""
           " port=\"4080\"\n"
           "\t\t\tdefaults=\"sender.as2_id=" +
           r + ", receiver.as2_id=" + l + "\"/>\n" +
           "\t</modules>\n"
           "</as2config>\n";
}

} // namespace

bool writeSample(const QString& dir, QString& error) {
    const QDir d(dir);
    const QString certDir = d.filePath(QStringLiteral("certs"));
    const QString p12 = QDir(certDir).filePath(QStringLiteral("local.p12"));
    const QString cer = QDir(certDir).filePath(QStringLiteral("remote.cer"));
    const QString config = d.filePath(QStringLiteral("config.xml"));
    for (const QString& f : {partnershipsFile(dir), keyStoreFile(dir), config, p12, cer})
        if (QFileInfo::exists(f)) {
            error = QStringLiteral("%1 exists already; nothing written").arg(f);
            return false;
        }
    if (!writeDemoCertificates(certDir, Local, Remote, QString::fromLatin1(DemoPassword), error))
        return false;
    // Read back through the import checks: the sample must be what an import accepts.
    const CertResult local = checkPkcs12(p12, QString::fromLatin1(DemoPassword));
    const CertResult remote = checkX509(cer);
    if (!local.ok || !remote.ok) {
        error =
            QStringLiteral("the demo certificates do not open: %1").arg(local.error + remote.error);
        return false;
    }
    const KeyStore keys{{Local + QStringLiteral(":0"), QStringLiteral("pkcs12"),
                         QFileInfo(p12).absoluteFilePath(), local.subject},
                        {Remote + QStringLiteral(":0"), QStringLiteral("x509"),
                         QFileInfo(cer).absoluteFilePath(), remote.subject}};
    QSaveFile configFile(config);
    const QByteArray configText = sampleConfig();
    if (!configFile.open(QIODevice::WriteOnly) ||
        configFile.write(configText) != configText.size() || !configFile.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(config, configFile.errorString());
        return false;
    }
    return saveKeyStore(keyStoreFile(dir), keys, error) &&
           savePartnerData(partnershipsFile(dir), sampleData(), error);
}

} // namespace standin
