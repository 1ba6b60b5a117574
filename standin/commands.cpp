#include "commands.h"

#include "certs.h"

#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>
#include <QStringList>
#include <thread>

namespace standin {

namespace {

const QByteArray EnvelopeStart = QByteArrayLiteral(R"(<command id="userID" password="qxv">)");
const QByteArray EnvelopeEnd = QByteArrayLiteral("</command>");

// The reply becomes XML content inside the client's own root element, so markup characters in
// text are escaped, and CR and LF too, to keep the reply on one line.
QByteArray escaped(const QString& text) {
    QByteArray out;
    const QByteArray utf8 = text.toUtf8();
    out.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '\r':
            out += "&#13;";
            break;
        case '\n':
            out += "&#10;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

QByteArray element(const char* tag, const QString& text) {
    return QByteArray("<") + tag + '>' + escaped(text) + "</" + tag + '>';
}

Outcome ok(const QString& text, const QString& log) {
    return {element("ok", text), log + ": ok"};
}

Outcome failure(const QString& text, const QString& log) {
    return {element("error", text), log + ": error: " + text};
}

// Long names would flood the log; the reply still carries them whole.
QString shown(const QString& text) {
    return text.size() <= 80 ? text : text.left(77) + QStringLiteral("...");
}

QByteArray braceList(const Attributes& attributes) {
    QByteArray out = "{";
    for (size_t i = 0; i < attributes.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += escaped(attributes[i].name) + '=' + escaped(attributes[i].value);
    }
    return out + '}';
}

// A list with no entries is a single blank: an empty line would be skipped by the reader, and
// an empty element would read as one entry with an empty name.
QByteArray listReply(const char* tag, const QStringList& names) {
    if (names.isEmpty())
        return " ";
    QByteArray out;
    for (const QString& n : names)
        out += element(tag, n);
    return out;
}

QString firstValue(const Attributes& attributes, const QString& name) {
    for (const Attribute& a : attributes)
        if (a.name == name)
            return a.value;
    return {};
}

// Strict UTF-8 holding only characters that XML can carry, so that whatever is accepted can be
// stored and shown again unchanged.
bool decodeCommand(const QByteArray& bytes, QString& text, QString& error) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    text = decoder(bytes);
    if (decoder.hasError()) {
        error = QStringLiteral("the command is not valid UTF-8 text");
        return false;
    }
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != '\t') || u == 0xFFFE || u == 0xFFFF) {
            error = QStringLiteral("the command holds a control character");
            return false;
        }
    }
    return true;
}

// `name="value"` items separated by one blank; values end at the next double quote.
bool parseAttributes(const QString& text, Attributes& out, QString& error) {
    const qsizetype n = text.size();
    qsizetype pos = 0;
    while (pos < n) {
        const qsizetype eq = text.indexOf(u'=', pos);
        if (eq < 0) {
            error = QStringLiteral("an attribute lacks its \"=\"");
            return false;
        }
        const QString name = text.mid(pos, eq - pos);
        if (name.contains(u' ') || name.contains(u'"')) {
            error = QStringLiteral("malformed attribute name \"%1\"").arg(shown(name));
            return false;
        }
        if (eq + 1 >= n || text.at(eq + 1) != u'"') {
            error = QStringLiteral("the value of \"%1\" is not between double quotes").arg(name);
            return false;
        }
        const qsizetype close = text.indexOf(u'"', eq + 2);
        if (close < 0) {
            error = QStringLiteral("the value of \"%1\" lacks its closing double quote").arg(name);
            return false;
        }
        out.push_back({name, text.mid(eq + 2, close - eq - 2)});
        pos = close + 1;
        if (pos < n) {
            if (text.at(pos) != u' ') {
                error = QStringLiteral("a blank must follow the value of \"%1\"").arg(name);
                return false;
            }
            ++pos;
        }
    }
    return true;
}

// How the client reads a brace list back, as it describes its reader: the list follows the first
// occurrence of its marker (a one-character marker that is absent: the whole text) and ends at its
// first "}"; each ", " becomes "~"; items end at "~", CR or LF outside a stretch between quotes,
// blanks, CR and LF before an item are skipped, empty items dropped; an item splits at its first
// "=", and one without "=" is a value with an empty key.
Attributes readBack(const QString& text, const QString& marker) {
    const qsizetype at = text.indexOf(marker);
    if (at < 0 && marker.size() > 1)
        return {};
    QString list = at < 0 ? text : text.mid(at + marker.size());
    const qsizetype close = list.indexOf(u'}');
    if (close < 0)
        return {};
    list.truncate(close);
    list.replace(QLatin1String(", "), QLatin1String("~"));
    Attributes items;
    const qsizetype n = list.size();
    for (qsizetype i = 0; i < n; ++i) {
        while (i < n && (list[i] == u' ' || list[i] == u'\r' || list[i] == u'\n'))
            ++i;
        const qsizetype start = i;
        QChar quote;
        for (; i < n; ++i) {
            const QChar c = list[i];
            if (!quote.isNull()) {
                if (c == quote)
                    quote = QChar();
            } else if (c == u'\'' || c == u'"') {
                quote = c;
            } else if (c == u'~' || c == u'\r' || c == u'\n') {
                break;
            }
        }
        if (i == start)
            continue;
        const QString item = list.mid(start, i - start);
        const qsizetype equals = item.indexOf(u'=');
        items.push_back(equals < 0 ? Attribute{QString(), item}
                                   : Attribute{item.left(equals), item.mid(equals + 1)});
    }
    return items;
}

QString listText(const Attributes& attributes) {
    QString out = QStringLiteral("{");
    for (size_t i = 0; i < attributes.size(); ++i)
        out += (i > 0 ? QStringLiteral(", ") : QString()) + attributes[i].name + u'=' +
               attributes[i].value;
    return out + u'}';
}

// Why a record's own name (a partner's, a partnership's, its sender's or receiver's) cannot serve
// as one: commands end it at a blank, and list elements of white space alone reach the client
// empty. Empty when it can.
QString badName(const QString& name) {
    if (name.isEmpty())
        return QStringLiteral("is empty");
    if (name.trimmed().isEmpty())
        return QStringLiteral("is white space alone");
    if (name.contains(u' '))
        return QStringLiteral("holds a blank");
    return {};
}

// What takes a text apart in a brace list, in the client's words; "does not come back as sent"
// when nothing in it alone does.
QString whyLost(const QString& text) {
    if (text.contains(QLatin1String(", ")))
        return QStringLiteral("holds \", \" (comma and blank)");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'}':
            return QStringLiteral("holds \"}\"");
        case u'~':
            return QStringLiteral("holds \"~\"");
        case u'\'':
            return QStringLiteral("holds a single quote");
        case u'"':
            return QStringLiteral("holds a double quote");
        default:
            break;
        }
    }
    return QStringLiteral("does not come back as sent");
}

// The first reason why a record, printed as its view prints it, would not read back as it was
// sent; empty when it would. `names` pairs each of the record's own names with what it is; each
// list is the marker its view prints before it and its pairs.
QString unreadableRecord(std::initializer_list<std::pair<QString, QString>> names,
                         const std::vector<std::pair<QString, Attributes>>& lists) {
    for (const auto& [what, name] : names)
        if (const QString why = badName(name); !why.isEmpty())
            return what + u' ' + why;
    QString text;
    for (const auto& [marker, pairs] : lists)
        text += (text.isEmpty() ? QString() : QStringLiteral(" ")) + marker.chopped(1) +
                listText(pairs);
    for (const auto& [marker, pairs] : lists) {
        const Attributes back = readBack(text, marker);
        for (size_t i = 0; i < pairs.size(); ++i) {
            if (i < back.size() && back[i].name == pairs[i].name && back[i].value == pairs[i].value)
                continue;
            // A record's own name stands in its lists as "name=": it is named as that.
            if (pairs[i].name == QLatin1String("name") && i == 0)
                for (const auto& [what, name] : names)
                    if (name == pairs[i].value)
                        return what + u' ' + whyLost(name);
            const QString key = pairs[i].name;
            if (back.size() > i && back[i].name != key)
                return QStringLiteral("the key \"%1\" %2").arg(shown(key), whyLost(key));
            return QStringLiteral("the value of \"%1\" %2")
                .arg(shown(key), whyLost(pairs[i].value));
        }
        if (back.size() > pairs.size())
            return QStringLiteral("the value of \"%1\" %2")
                .arg(shown(pairs.back().name), whyLost(pairs.back().value));
    }
    return {};
}

Outcome unreadableFailure(const QString& why, const QString& log) {
    return failure(QStringLiteral("cannot be read back, nothing stored: ") + why, log);
}

// Names hold no blank: each one ends at the next blank or at the end of the text.
QString takeName(const QString& text, qsizetype& pos, bool& more) {
    const qsizetype blank = text.indexOf(u' ', pos);
    const qsizetype end = blank < 0 ? text.size() : blank;
    const QString name = text.mid(pos, end - pos);
    more = blank >= 0;
    pos = more ? blank + 1 : end;
    return name;
}

} // namespace

Outcome lineWithoutCrLf() {
    return failure(QStringLiteral("the line must end with CR LF; not carried out"),
                   QStringLiteral("rejected"));
}

Service::Service(QString dataDir, PartnerData data, KeyStore keys)
    : dataDir_(std::move(dataDir)), data_(std::move(data)), keys_(std::move(keys)) {}

Outcome Service::execute(const QByteArray& line) {
    if (line.size() < EnvelopeStart.size() + EnvelopeEnd.size() ||
        !line.startsWith(EnvelopeStart) || !line.endsWith(EnvelopeEnd))
        return failure(QStringLiteral("not a command envelope"), QStringLiteral("rejected"));
    const QByteArray inner =
        line.mid(EnvelopeStart.size(), line.size() - EnvelopeStart.size() - EnvelopeEnd.size());
    QString command;
    QString error;
    if (!decodeCommand(inner, command, error))
        return failure(error, QStringLiteral("rejected"));
    return dispatch(command);
}

Outcome Service::dispatch(const QString& c) {
    QString arg;
    // Each prefix ends in the blank that separates it from its argument.
    auto takes = [&c, &arg](const char* prefix) {
        const QLatin1String p(prefix);
        if (!c.startsWith(p))
            return false;
        arg = c.mid(p.size());
        return true;
    };
    if (c == QLatin1String("Partnership List"))
        return partnershipList();
    if (c == QLatin1String("Partnership Store"))
        return partnershipStore();
    if (c == QLatin1String("cert List"))
        return certList();
    if (takes("Partner View "))
        return partnerView(arg);
    if (takes("Partner Add "))
        return partnerAdd(arg);
    if (takes("Partner Delete "))
        return partnerDelete(arg);
    if (takes("Partnership View "))
        return partnershipView(arg);
    if (takes("Partnership Add "))
        return partnershipAdd(arg);
    if (takes("Partnership Delete "))
        return partnershipDelete(arg);
    if (takes("Cert import "))
        return certImport(arg);
    return failure(QStringLiteral("unknown command"), QStringLiteral("rejected"));
}

Outcome Service::partnerView(const QString& name) const {
    const QString log = QStringLiteral("Partner View ") + shown(name);
    const Partner* p = data_.partners.find(name);
    // No brace in this reply: the client reads a brace list as a partner that exists.
    if (!p)
        return failure(QStringLiteral("no partner of that name"), log);
    Attributes all{{QStringLiteral("name"), p->name}};
    all.insert(all.end(), p->attributes.begin(), p->attributes.end());
    return {braceList(all), log + QStringLiteral(": ok")};
}

Outcome Service::partnerAdd(const QString& args) {
    qsizetype pos = 0;
    bool more = false;
    Partner p;
    p.name = takeName(args, pos, more);
    const QString log = QStringLiteral("Partner Add ") + shown(p.name);
    QString error;
    if (more && !parseAttributes(args.mid(pos), p.attributes, error))
        return failure(error, log);
    // The reply gives the record's own name under "name".
    for (const Attribute& a : p.attributes)
        if (a.name == QLatin1String("name"))
            return unreadableFailure(
                QStringLiteral("the key \"name\" is taken: the reply gives the record's own name "
                               "under it"),
                log);
    Attributes all{{QStringLiteral("name"), p.name}};
    all.insert(all.end(), p.attributes.begin(), p.attributes.end());
    const QString why = unreadableRecord({{QStringLiteral("the partner name"), p.name}},
                                         {{QStringLiteral("{"), all}});
    if (!why.isEmpty())
        return unreadableFailure(why, log);
    data_.partners.put(std::move(p));
    return ok(QStringLiteral("partner added"), log);
}

Outcome Service::partnerDelete(const QString& name) {
    const QString log = QStringLiteral("Partner Delete ") + shown(name);
    return ok(data_.partners.remove(name) ? QStringLiteral("partner deleted")
                                          : QStringLiteral("no partner of that name to delete"),
              log);
}

Outcome Service::partnershipList() const {
    QStringList names;
    for (const Partnership& p : data_.partnerships.items())
        names << p.name;
    return {listReply("partnership", names),
            QStringLiteral("Partnership List: ok, %1 partnerships").arg(names.size())};
}

Outcome Service::partnershipView(const QString& name) const {
    const QString log = QStringLiteral("Partnership View ") + shown(name);
    const Partnership* p = data_.partnerships.find(name);
    if (!p)
        return failure(QStringLiteral("no partnership of that name"), log);
    auto ids = [this](const QString& partnerName) {
        const Partner* partner = data_.partners.find(partnerName);
        const QString id =
            partner ? firstValue(partner->attributes, QStringLiteral("as2_id")) : QString();
        return braceList({{QStringLiteral("name"), partnerName}, {QStringLiteral("as2_id"), id}});
    };
    return {"Sender IDs = " + ids(p->sender) + " Receiver IDs = " + ids(p->receiver) +
                " Attributes = " + braceList(p->attributes),
            log + QStringLiteral(": ok")};
}

Outcome Service::partnershipAdd(const QString& args) {
    qsizetype pos = 0;
    bool more = false;
    Partnership p;
    p.name = takeName(args, pos, more);
    const QString log = QStringLiteral("Partnership Add ") + shown(p.name);
    if (more)
        p.sender = takeName(args, pos, more);
    if (!more)
        return failure(QStringLiteral("a partnership needs a name, a sender and a receiver"), log);
    p.receiver = takeName(args, pos, more);
    QString error;
    if (more && !parseAttributes(args.mid(pos), p.attributes, error))
        return failure(error, log);
    auto ids = [this](const QString& partnerName) {
        const Partner* partner = data_.partners.find(partnerName);
        return Attributes{
            {QStringLiteral("name"), partnerName},
            {QStringLiteral("as2_id"),
             partner ? firstValue(partner->attributes, QStringLiteral("as2_id")) : QString()}};
    };
    const QString why = unreadableRecord({{QStringLiteral("the partnership name"), p.name},
                                          {QStringLiteral("the sender name"), p.sender},
                                          {QStringLiteral("the receiver name"), p.receiver}},
                                         {{QStringLiteral("Sender IDs = {"), ids(p.sender)},
                                          {QStringLiteral("Receiver IDs = {"), ids(p.receiver)},
                                          {QStringLiteral("Attributes = {"), p.attributes}});
    if (!why.isEmpty())
        return unreadableFailure(why, log);
    data_.partnerships.put(std::move(p));
    return ok(QStringLiteral("partnership added"), log);
}

Outcome Service::partnershipDelete(const QString& name) {
    const QString log = QStringLiteral("Partnership Delete ") + shown(name);
    return ok(data_.partnerships.remove(name)
                  ? QStringLiteral("partnership deleted")
                  : QStringLiteral("no partnership of that name to delete"),
              log);
}

Outcome Service::partnershipStore() {
    const QString log = QStringLiteral("Partnership Store");
    std::this_thread::sleep_for(storeTime); // every later command waits, as the service's would
    QString error;
    if (!savePartnerData(partnershipsFile(dataDir_), data_, error))
        return failure(error, log);
    return ok(QStringLiteral("partnership configuration stored"), log);
}

Outcome Service::certList() const {
    QStringList aliases;
    for (const KeyEntry& k : keys_)
        aliases << k.alias;
    return {listReply("alias", aliases),
            QStringLiteral("cert List: ok, %1 aliases").arg(aliases.size())};
}

Outcome Service::certImport(const QString& args) {
    qsizetype pos = 0;
    bool more = false;
    const QString alias = takeName(args, pos, more);
    QString log = QStringLiteral("Cert import ") + shown(alias);
    if (!more || pos >= args.size() || args.at(pos) != u'"')
        return failure(QStringLiteral("the file name must follow the alias between double quotes"),
                       log);
    const qsizetype close = args.indexOf(u'"', pos + 1);
    if (close < 0)
        return failure(QStringLiteral("the file name lacks its closing double quote"), log);
    const QString path = args.mid(pos + 1, close - pos - 1);
    log += QStringLiteral(" \"%1\"").arg(shown(path));
    const qsizetype after = close + 1;
    if (after < args.size() && args.at(after) != u' ')
        return failure(QStringLiteral("a blank and the password must follow the file name"), log);
    if (path.isEmpty())
        return failure(QStringLiteral("no file named"), log);
    // An entry is never replaced: a key or certificate that partners rely on would vanish.
    for (const KeyEntry& k : keys_)
        if (k.alias == alias)
            return failure(
                QStringLiteral("the key store holds the alias \"%1\" already; nothing changed")
                    .arg(shown(alias)),
                log);
    // With a password the file is a private key store; without one, a public certificate.
    const bool withPassword = after < args.size();
    const CertResult result =
        withPassword ? checkPkcs12(path, args.mid(after + 1)) : checkX509(path);
    log += withPassword ? QStringLiteral(" (PKCS #12)") : QStringLiteral(" (X.509)");
    if (!result.ok)
        return failure(result.error, log);

    KeyStore updated = keys_;
    updated.push_back({alias, withPassword ? QStringLiteral("pkcs12") : QStringLiteral("x509"),
                       QFileInfo(path).absoluteFilePath(), result.subject});
    QString error;
    if (!saveKeyStore(keyStoreFile(dataDir_), updated, error))
        return failure(error, log);
    keys_ = std::move(updated);
    return ok(QStringLiteral("certificate imported"), log);
}

} // namespace standin
