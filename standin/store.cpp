#include "store.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QSaveFile>
#include <QXmlStreamWriter>

namespace standin {

namespace {

// Reads the whole document; false with a message when the file is there but unusable.
bool readDocument(const QString& path, const QString& rootName, QDomDocument& doc, bool& exists,
                  QString& error) {
    QFile file(path);
    exists = file.exists();
    if (!exists)
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    QString message;
    int line = 0;
    int column = 0;
    if (!doc.setContent(&file, false, &message, &line, &column)) {
        error = QStringLiteral("%1:%2:%3: %4").arg(path).arg(line).arg(column).arg(message);
        return false;
    }
    if (doc.documentElement().tagName() != rootName) {
        error = QStringLiteral("%1: the root element is not <%2>").arg(path, rootName);
        return false;
    }
    return true;
}

QString where(const QString& path, const QDomElement& e) {
    return QStringLiteral("%1:%2").arg(path).arg(e.lineNumber());
}

bool requireAttributes(const QString& path, const QDomElement& e,
                       std::initializer_list<QString> names, QString& error) {
    for (const QString& name : names)
        if (!e.hasAttribute(name)) {
            error = QStringLiteral("%1: <%2> lacks the attribute %3")
                        .arg(where(path, e), e.tagName(), name);
            return false;
        }
    return true;
}

bool readAttributes(const QString& path, const QDomElement& parent, Attributes& out,
                    QString& error) {
    for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        if (e.tagName() != QLatin1String("attribute")) {
            error = QStringLiteral("%1: unexpected <%2>").arg(where(path, e), e.tagName());
            return false;
        }
        if (!requireAttributes(path, e, {QStringLiteral("name"), QStringLiteral("value")}, error))
            return false;
        out.push_back({e.attribute(QStringLiteral("name")), e.attribute(QStringLiteral("value"))});
    }
    return true;
}

void writeAttributes(QXmlStreamWriter& w, const Attributes& attributes) {
    for (const Attribute& a : attributes) {
        w.writeEmptyElement(QStringLiteral("attribute"));
        w.writeAttribute(QStringLiteral("name"), a.name);
        w.writeAttribute(QStringLiteral("value"), a.value);
    }
}

// Writes through a temporary file that replaces the old one only when complete.
template <typename Body>
bool writeDocument(const QString& path, const QString& rootName, Body body, QString& error) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    QXmlStreamWriter w(&file);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(rootName);
    body(w);
    w.writeEndElement();
    w.writeEndDocument();
    if (w.hasError() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

QString partnershipsFile(const QString& dataDir) {
    return QDir(dataDir).filePath(QStringLiteral("partnerships.xml"));
}

QString keyStoreFile(const QString& dataDir) {
    return QDir(dataDir).filePath(QStringLiteral("keystore.xml"));
}

bool loadPartnerData(const QString& path, PartnerData& data, QString& error) {
    QDomDocument doc;
    bool exists = false;
    if (!readDocument(path, QStringLiteral("partnerships"), doc, exists, error))
        return false;
    data = PartnerData();
    if (!exists)
        return true;
    for (QDomElement e = doc.documentElement().firstChildElement(); !e.isNull();
         e = e.nextSiblingElement()) {
        const QString name = e.attribute(QStringLiteral("name"));
        if (e.tagName() == QLatin1String("partner")) {
            Partner p{name, {}};
            if (!requireAttributes(path, e, {QStringLiteral("name")}, error) ||
                !readAttributes(path, e, p.attributes, error))
                return false;
            if (data.partners.find(name)) {
                error = QStringLiteral("%1: partner %2 is there twice").arg(where(path, e), name);
                return false;
            }
            data.partners.put(std::move(p));
        } else if (e.tagName() == QLatin1String("partnership")) {
            Partnership p{name,
                          e.attribute(QStringLiteral("sender")),
                          e.attribute(QStringLiteral("receiver")),
                          {}};
            if (!requireAttributes(
                    path, e,
                    {QStringLiteral("name"), QStringLiteral("sender"), QStringLiteral("receiver")},
                    error) ||
                !readAttributes(path, e, p.attributes, error))
                return false;
            if (data.partnerships.find(name)) {
                error =
                    QStringLiteral("%1: partnership %2 is there twice").arg(where(path, e), name);
                return false;
            }
            data.partnerships.put(std::move(p));
        } else {
            error = QStringLiteral("%1: unexpected <%2>").arg(where(path, e), e.tagName());
            return false;
        }
    }
    return true;
}

bool savePartnerData(const QString& path, const PartnerData& data, QString& error) {
    return writeDocument(
        path, QStringLiteral("partnerships"),
        [&](QXmlStreamWriter& w) {
            for (const Partner& p : data.partners.items()) {
                w.writeStartElement(QStringLiteral("partner"));
                w.writeAttribute(QStringLiteral("name"), p.name);
                writeAttributes(w, p.attributes);
                w.writeEndElement();
            }
            for (const Partnership& p : data.partnerships.items()) {
                w.writeStartElement(QStringLiteral("partnership"));
                w.writeAttribute(QStringLiteral("name"), p.name);
                w.writeAttribute(QStringLiteral("sender"), p.sender);
                w.writeAttribute(QStringLiteral("receiver"), p.receiver);
                writeAttributes(w, p.attributes);
                w.writeEndElement();
            }
        },
        error);
}

bool loadKeyStore(const QString& path, KeyStore& store, QString& error) {
    QDomDocument doc;
    bool exists = false;
    if (!readDocument(path, QStringLiteral("keystore"), doc, exists, error))
        return false;
    store.clear();
    if (!exists)
        return true;
    for (QDomElement e = doc.documentElement().firstChildElement(); !e.isNull();
         e = e.nextSiblingElement()) {
        if (e.tagName() != QLatin1String("entry")) {
            error = QStringLiteral("%1: unexpected <%2>").arg(where(path, e), e.tagName());
            return false;
        }
        if (!requireAttributes(
                path, e, {QStringLiteral("alias"), QStringLiteral("type"), QStringLiteral("file")},
                error))
            return false;
        store.push_back({e.attribute(QStringLiteral("alias")), e.attribute(QStringLiteral("type")),
                         e.attribute(QStringLiteral("file")),
                         e.attribute(QStringLiteral("subject"))});
    }
    return true;
}

bool saveKeyStore(const QString& path, const KeyStore& store, QString& error) {
    return writeDocument(
        path, QStringLiteral("keystore"),
        [&](QXmlStreamWriter& w) {
            for (const KeyEntry& k : store) {
                w.writeEmptyElement(QStringLiteral("entry"));
                w.writeAttribute(QStringLiteral("alias"), k.alias);
                w.writeAttribute(QStringLiteral("type"), k.type);
                w.writeAttribute(QStringLiteral("file"), k.file);
                w.writeAttribute(QStringLiteral("subject"), k.subject);
            }
        },
        error);
}

} // namespace standin
