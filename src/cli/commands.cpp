#include "cli/commands.h"

#include "cli/console.h"
#include "model/certalias.h"
#include "model/partnerlink.h"
#include "model/serviceconfig.h"
#include "platform/exceptions.h"
#include "platform/system.h"
#include "platform/textconv.h"

#include <QByteArrayView>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace {

// The configuration file step failed after the service took the save.
class EConfigNotUpdated : public Exception {
public:
    using Exception::Exception;
};

// A setting by its JSON key: the window's control name with a lower-case first letter.
struct TKey {
    const char* Json;
    TSettingText Text;
    int TLinkSettings::*Number;
};

using S = TLinkSettings;
const TKey Keys[] = {
    {"localName", &S::LocalName, nullptr},
    {"localAS2ID", &S::LocalAS2ID, nullptr},
    {"localEmail", &S::LocalEmail, nullptr},
    {"localCertificate", &S::LocalCertificate, nullptr},
    {"remoteName", &S::RemoteName, nullptr},
    {"remoteAS2ID", &S::RemoteAS2ID, nullptr},
    {"remoteEmail", &S::RemoteEmail, nullptr},
    {"remoteCertificate", &S::RemoteCertificate, nullptr},
    {"outgoingAS2URL", &S::OutgoingAS2URL, nullptr},
    {"incomingHostName", &S::IncomingHostName, nullptr},
    {"incomingAS2Port", nullptr, &S::IncomingAS2Port},
    {"incomingMDNPort", nullptr, &S::IncomingMDNPort},
};
const char* const VersionKey = "version";

// The link's messages name a field by its JSON key.
std::vector<TFieldName> FieldNames() {
    std::vector<TFieldName> names;
    for (const TKey& key : Keys)
        if (key.Text != nullptr)
            names.push_back({key.Text, std::string(key.Json) + ":"});
    return names;
}

const TKey* FindKey(const std::string& json) {
    for (const TKey& key : Keys)
        if (json == key.Json)
            return &key;
    return nullptr;
}

std::string ValueText(const TKey& key, const TLinkSettings& settings) {
    return key.Text != nullptr ? settings.*key.Text : std::to_string(settings.*key.Number);
}

// JSON text written in the order given, which QJsonObject would sort.
std::string JsonString(const std::string& text) {
    const QByteArray array =
        QJsonDocument(QJsonArray{ToQString(text)}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2).toStdString();
}

// An object whose members are written one a line, `indent` deeper than the line that holds it.
class TJsonObject {
public:
    explicit TJsonObject(std::string indent = std::string()) : Indent(std::move(indent)) {}

    TJsonObject& Add(const std::string& key, std::string json) {
        Members.emplace_back(key, std::move(json));
        return *this;
    }
    TJsonObject& AddText(const std::string& key, const std::string& text) {
        return Add(key, JsonString(text));
    }
    TJsonObject& AddBool(const std::string& key, bool value) {
        return Add(key, value ? "true" : "false");
    }
    TJsonObject& AddList(const std::string& key, const std::vector<std::string>& texts) {
        std::string json = "[";
        for (const std::string& text : texts)
            json += (json.size() > 1 ? ",\n" : "\n") + Indent + "    " + JsonString(text);
        return Add(key, json + (texts.empty() ? "]" : "\n" + Indent + "  ]"));
    }
    // A member object, written one level deeper.
    TJsonObject Inner() const { return TJsonObject(Indent + "  "); }
    std::string Text() const {
        if (Members.empty())
            return "{}";
        std::string out = "{";
        for (const auto& [key, json] : Members)
            out += (out.size() > 1 ? ",\n" : "\n") + Indent + "  " + JsonString(key) + ": " + json;
        return out + "\n" + Indent + "}";
    }
    // On one line.
    std::string Compact() const {
        std::string out = "{";
        for (const auto& [key, json] : Members)
            out += (out.size() > 1 ? ", " : "") + JsonString(key) + ": " + json;
        return out + "}";
    }

private:
    std::string Indent;
    std::vector<std::pair<std::string, std::string>> Members;
};

void PrintJson(const TJsonObject& object) {
    std::fputs((object.Text() + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// What the records read give a script: a change of either partner or of their partnerships
// changes it.
std::string RecordsVersion(const TPartner& local, const TPartner& remote) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const auto add = [&hash](const std::string& text) {
        hash.addData(QByteArray::number(static_cast<qulonglong>(text.size())) + ':');
        hash.addData(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    };
    for (const TPartner* partner : {&local, &remote}) {
        for (const std::string* text :
             {&partner->Name, &partner->AS2ID, &partner->Email, &partner->X509Alias})
            add(*text);
        add(std::to_string(partner->Partnerships.Items.size()));
        for (const TPartnership& partnership : partner->Partnerships.Items) {
            add(partnership.Name);
            add(partnership.SenderName);
            add(partnership.ReceiverName);
            add(std::to_string(partnership.Attributes.size()));
            for (const TNameValuePair& pair : partnership.Attributes) {
                add(pair.Name);
                add(pair.Value);
            }
        }
    }
    return hash.result().toHex().left(32).toStdString();
}

// The link as the window holds it after FormShow.
struct TLoadedLink {
    std::optional<TPartner> Local;
    std::optional<TPartner> Remote;
    std::string OldLocalAS2ID;
    std::string OldRemoteAS2ID;
    TLinkSettings Settings;
    std::string Version;
};

TLoadedLink LoadLink(TPartnerLink& link, const std::string& remoteName, TConsole& console) {
    TLoadedLink loaded;
    link.Load(remoteName, loaded.Local, loaded.Remote, console);
    loaded.OldLocalAS2ID = loaded.Local->AS2ID;
    loaded.OldRemoteAS2ID = loaded.Remote->AS2ID;
    TPartnerLink::Read(*loaded.Local, *loaded.Remote, loaded.Settings);
    loaded.Version = RecordsVersion(*loaded.Local, *loaded.Remote);
    console.CheckStop();
    return loaded;
}

TExit ExitFor(const Exception& failure) {
    // The service changed since it was read: as a stale version, refused with nothing sent.
    if (dynamic_cast<const EUnsafeCommandText*>(&failure) != nullptr ||
        dynamic_cast<const EChangedOnServiceError*>(&failure) != nullptr)
        return TExit::Refused;
    if (dynamic_cast<const EStoreRefusedError*>(&failure) != nullptr)
        return TExit::NotHeld;
    if (const auto* notHeld = dynamic_cast<const ENotHeldError*>(&failure))
        return notHeld->FileFailed ? TExit::ConfigFile : TExit::NotHeld;
    if (dynamic_cast<const EConfigNotUpdated*>(&failure) != nullptr)
        return TExit::ConfigFile;
    return TExit::Service;
}

// Runs a command; a failure becomes its message and exit code.
template <class TBody> TExit Guarded(TBody&& body) {
    try {
        return body();
    } catch (const Exception& failure) {
        return Report(failure.Message, ExitFor(failure));
    } catch (const std::exception& failure) {
        return Report(failure.what(), TExit::Service);
    }
}

const char* Kind(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::String:
        return "a string";
    case QJsonValue::Double:
        return "a number";
    case QJsonValue::Bool:
        return "true or false";
    case QJsonValue::Array:
        return "an array";
    case QJsonValue::Object:
        return "an object";
    default:
        return "null";
    }
}

// A setting the input gives, with its value.
struct TGiven {
    const TKey* Key;
    std::string Text;
    int Number;
};

struct TInput {
    std::vector<TGiven> Given;
    std::optional<std::string> Version;
};

// The input's keys and values, or the lines that refuse them.
std::vector<std::string> ParseInput(const std::string& bytes, TInput& input) {
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(bytes), &error);
    if (error.error != QJsonParseError::NoError)
        return {"The input is not JSON: " + error.errorString().toStdString() + " at offset " +
                std::to_string(error.offset)};
    if (!document.isObject())
        return {"The input is not a JSON object"};
    std::vector<std::string> refused;
    const QJsonObject object = document.object();
    for (auto member = object.begin(); member != object.end(); ++member) {
        const std::string name = ToStdString(member.key());
        const QJsonValue value = member.value();
        const TKey* key = FindKey(name);
        const bool text = name == VersionKey || (key != nullptr && key->Text != nullptr);
        if (key == nullptr && name != VersionKey) {
            refused.push_back(JsonString(name) + ": no such key");
        } else if (text && !value.isString()) {
            refused.push_back(name + ": a string is expected, not " + Kind(value));
        } else if (name == VersionKey) {
            input.Version = ToStdString(value.toString());
        } else if (text) {
            input.Given.push_back({key, ToStdString(value.toString()), 0});
        } else if (!value.isDouble()) {
            refused.push_back(name + ": a port number is expected, not " + Kind(value));
        } else if (const double number = value.toDouble();
                   number != std::floor(number) || number < 1 || number > 65535) {
            refused.push_back(name + ": " + ToStdString(QString::number(number, 'g', 17)) +
                              " is not a port number from 1 to 65535");
        } else {
            input.Given.push_back({key, std::string(), static_cast<int>(number)});
        }
    }
    return refused;
}

// The refusals of values that the service's records decide. The certificate list is read only
// for a certificate that changes.
std::vector<std::string> CheckAgainstService(const TInput& input, const TLoadedLink& loaded,
                                             TCommandHandler& channel, TConsole& console) {
    std::vector<std::string> refused;
    if (input.Version && *input.Version != loaded.Version)
        refused.push_back(std::string(VersionKey) + ": the AS2 service's records changed since " +
                          "version \"" + *input.Version + "\" was read (they are now \"" +
                          loaded.Version + "\"); show them again and apply to what it prints");
    for (const TGiven& given : input.Given) {
        const TKey& key = *given.Key;
        const std::string held = ValueText(key, loaded.Settings);
        if (key.Text == &S::LocalName || key.Text == &S::RemoteName) {
            if (given.Text != held)
                refused.push_back(std::string(key.Json) + ": \"" + given.Text +
                                  "\" is not the partner the AS2 service holds, \"" + held + "\"" +
                                  (key.Text == &S::RemoteName ? "; --remote names another" : ""));
        } else if ((key.Text == &S::LocalCertificate || key.Text == &S::RemoteCertificate) &&
                   !given.Text.empty() && given.Text != held) {
            console.Step("Reading the certificate list", 0, 0, TProgress::TCancel::Offered);
            if (!channel.CertificateExists(given.Text))
                refused.push_back(std::string(key.Json) + ": \"" + given.Text +
                                  "\" is not in the AS2 service's certificate list; import-cert "
                                  "imports one");
        }
    }
    return refused;
}

TExit Refuse(const std::vector<std::string>& refused) {
    for (const std::string& line : refused)
        PrintMessage(line);
    PrintMessage("Nothing was sent");
    return TExit::Refused;
}

// Lines of `from` that `to` does not hold, each as often as it is missing.
std::vector<std::string> LinesNotIn(const std::vector<std::string>& from,
                                    std::vector<std::string> to) {
    std::vector<std::string> missing;
    for (const std::string& line : from) {
        const auto found = std::find(to.begin(), to.end(), line);
        if (found == to.end())
            missing.push_back(line);
        else
            to.erase(found);
    }
    return missing;
}

// The lines the file update would take out and put in; the file is read, not written.
TJsonObject ConfigFileChange(const std::string& path, const TConfigIDs& ids, TJsonObject change) {
    QFile file(QString::fromStdString(path));
    std::string why;
    if (!OpenRegularFile(file, QIODevice::ReadOnly, why))
        throw EConfigNotUpdated("The configuration file " + path + " cannot be read: " + why);
    const std::string before = file.readAll().toStdString();
    const std::vector<std::string> old = SplitConfigLines(before);
    const std::vector<std::string> now = SplitConfigLines(UpdateConfigText(before, ids));
    change.AddList("removed", LinesNotIn(old, now)).AddList("added", LinesNotIn(now, old));
    return change;
}

TJsonObject Changes(const TLinkSettings& held, const TLinkSettings& sent, TJsonObject changed) {
    for (const TKey& key : Keys) {
        if (ValueText(key, held) == ValueText(key, sent))
            continue;
        TJsonObject change;
        const auto value = [&key](const TLinkSettings& settings) {
            return key.Text != nullptr ? JsonString(settings.*key.Text)
                                       : std::to_string(settings.*key.Number);
        };
        change.Add("held", value(held)).Add("sent", value(sent));
        changed.Add(key.Json, change.Compact());
    }
    return changed;
}

} // namespace

TExit Report(const std::string& message, TExit exit) {
    PrintMessage(message);
    return exit;
}

TExit ShowLink(const TLinkOptions& options) {
    return Guarded([&] {
        TCommandHandler channel;
        TConsole console(channel);
        TPartnerLink link(channel, FieldNames());
        const TLoadedLink loaded = LoadLink(link, options.RemoteName, console);
        TJsonObject shown;
        for (const TKey& key : Keys)
            shown.Add(key.Json, key.Text != nullptr ? JsonString(loaded.Settings.*key.Text)
                                                    : std::to_string(loaded.Settings.*key.Number));
        shown.AddText(VersionKey, loaded.Version);
        PrintJson(shown);
        return TExit::Done;
    });
}

TExit ApplyLink(const TLinkOptions& options, const std::string& bytes) {
    TInput input;
    if (const std::vector<std::string> refused = ParseInput(bytes, input); !refused.empty())
        return Refuse(refused);
    return Guarded([&] {
        TCommandHandler channel;
        TConsole console(channel);
        TPartnerLink link(channel, FieldNames());
        TLoadedLink loaded = LoadLink(link, options.RemoteName, console);
        if (const std::vector<std::string> refused =
                CheckAgainstService(input, loaded, channel, console);
            !refused.empty())
            return Refuse(refused);
        TLinkSettings settings = loaded.Settings;
        for (const TGiven& given : input.Given) {
            if (given.Key->Text != nullptr)
                settings.*given.Key->Text = given.Text;
            else
                settings.*given.Key->Number = given.Number;
        }

        TJsonObject result;
        result.Add("changed", Changes(loaded.Settings, settings, result.Inner()).Text());
        if (options.DryRun) {
            // As if the service held what would be sent: nothing that changes it is sent.
            const TLinkSave save = link.Prepare(loaded.Local, loaded.Remote, settings);
            std::vector<std::string> commands = save.LocalCommands;
            commands.insert(commands.end(), save.RemoteCommands.begin(), save.RemoteCommands.end());
            const std::optional<TConfigIDs> ids = TPartnerLink::FileChange(
                {options.ConfigPath, loaded.OldLocalAS2ID, loaded.OldRemoteAS2ID}, save.Local.AS2ID,
                save.Remote.AS2ID);
            result.AddBool("dryRun", true).AddList("commands", commands);
            TJsonObject file = result.Inner();
            file.AddText("path", options.ConfigPath).AddBool("rewritten", ids.has_value());
            if (ids)
                file.Add("change", ConfigFileChange(options.ConfigPath, *ids, file.Inner()).Text());
            result.Add("configFile", file.Text()).AddBool("restartNeeded", ids.has_value());
            PrintJson(result);
            return TExit::Done;
        }

        bool rewritten = false;
        const auto print = [&](const std::vector<std::string>& notHeld) {
            TJsonObject file = result.Inner();
            file.AddText("path", options.ConfigPath).AddBool("rewritten", rewritten);
            result.AddList("notHeld", notHeld)
                .Add("configFile", file.Text())
                .AddBool("restartNeeded", rewritten);
            PrintJson(result);
        };
        try {
            const TConsole::THold hold(console);
            TServiceFile file{options.ConfigPath, loaded.OldLocalAS2ID, loaded.OldRemoteAS2ID};
            rewritten = link.Apply(loaded.Local, loaded.Remote, settings, file, console);
        } catch (const ENotHeldError& failure) {
            rewritten = failure.FileRewritten;
            print(failure.Differences);
            if (!failure.FileFailed)
                throw;
            // A later run loads the IDs the service holds as the old ones: it cannot tell the file
            // is behind.
            throw ENotHeldError(failure.Message + ".\nOnce the cause is mended, apply the old AS2 "
                                                  "IDs and then the new ones again",
                                failure.Differences, failure.FileRewritten, true);
        }
        print({});
        return TExit::Done;
    });
}

TExit ImportCertificate(const TLinkOptions& options, TCertificateSide side, const std::string& path,
                        const std::string* password) {
    return Guarded([&] {
        TCommandHandler channel;
        TConsole console(channel);
        TPartnerLink link(channel, FieldNames());
        std::optional<TPartner> local;
        std::optional<TPartner> remote;
        link.Load(options.RemoteName, local, remote, console);
        const TPartner& partner = side == TCertificateSide::Local ? *local : *remote;
        const std::string alias = NextImportAlias(partner.X509Alias, partner.Name);
        std::optional<std::string> imported;
        {
            const TConsole::THold hold(console);
            imported = link.ImportCertificate(alias, path, password, console);
        }
        if (!imported)
            return Report("The AS2 service does not list \"" + alias + "\" after the import.\n" +
                              (password != nullptr
                                   ? "Unable to import Certificate. Please check Password and "
                                     "try again"
                                   : "Unable to import Certificate. Please check the file and try "
                                     "again"),
                          TExit::NotHeld);
        TJsonObject result;
        result.AddText(side == TCertificateSide::Local ? "localCertificate" : "remoteCertificate",
                       *imported);
        PrintJson(result);
        return TExit::Done;
    });
}
