// The stand-in's data: partners, partnerships and the key store, and their files.
#pragma once

#include <QString>
#include <vector>

namespace standin {

struct Attribute {
    QString name;
    QString value;
};
// Ordered, kept exactly as it was sent, a key given twice included.
using Attributes = std::vector<Attribute>;

struct Partner {
    QString name;
    Attributes attributes;
};

struct Partnership {
    QString name;
    QString sender;
    QString receiver;
    Attributes attributes;
};

struct KeyEntry {
    QString alias;
    QString type; // "pkcs12" or "x509"
    QString file;
    QString subject;
};

// Records are found by exact name; put() replaces in place or appends.
template <typename Record> class Records {
public:
    const Record* find(const QString& name) const {
        for (const Record& r : items_)
            if (r.name == name)
                return &r;
        return nullptr;
    }
    void put(Record record) {
        for (Record& r : items_)
            if (r.name == record.name) {
                r = std::move(record);
                return;
            }
        items_.push_back(std::move(record));
    }
    bool remove(const QString& name) {
        for (auto it = items_.begin(); it != items_.end(); ++it)
            if (it->name == name) {
                items_.erase(it);
                return true;
            }
        return false;
    }
    const std::vector<Record>& items() const { return items_; }

private:
    std::vector<Record> items_;
};

struct PartnerData {
    Records<Partner> partners;
    Records<Partnership> partnerships;
};

using KeyStore = std::vector<KeyEntry>;

QString partnershipsFile(const QString& dataDir);
QString keyStoreFile(const QString& dataDir);

// A missing file reads as empty; a file that is there but does not read is an error, so that
// a later write never replaces data that could not be loaded.
bool loadPartnerData(const QString& path, PartnerData& data, QString& error);
bool savePartnerData(const QString& path, const PartnerData& data, QString& error);
bool loadKeyStore(const QString& path, KeyStore& store, QString& error);
bool saveKeyStore(const QString& path, const KeyStore& store, QString& error);

} // namespace standin
