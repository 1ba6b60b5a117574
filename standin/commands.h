// What the stand-in does with one command line, and the reply it gives.
#pragma once

#include "store.h"

#include <QByteArray>
#include <QString>
#include <chrono>

namespace standin {

struct Outcome {
    QByteArray reply; // one line of XML content, without CR LF
    QString log;      // command name and outcome; never a password
};

// The answer to a line that ends in LF alone, which is not carried out.
Outcome lineWithoutCrLf();

class Service {
public:
    Service(QString dataDir, PartnerData data, KeyStore keys);

    // The line as received, envelope included, CR LF excluded.
    Outcome execute(const QByteArray& line);

    // How long "Partnership Store" takes before it writes, as with a large data file.
    std::chrono::seconds storeTime{0};

private:
    Outcome dispatch(const QString& command);
    Outcome partnerView(const QString& name) const;
    Outcome partnerAdd(const QString& args);
    Outcome partnerDelete(const QString& name);
    Outcome partnershipList() const;
    Outcome partnershipView(const QString& name) const;
    Outcome partnershipAdd(const QString& args);
    Outcome partnershipDelete(const QString& name);
    Outcome partnershipStore();
    Outcome certList() const;
    Outcome certImport(const QString& args);

    QString dataDir_;
    PartnerData data_;
    KeyStore keys_;
};

} // namespace standin
