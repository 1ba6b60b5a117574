#include "cli/commands.h"

#include "channel/cmds.h"
#include "cli/console.h"
#include "model/certalias.h"
#include "model/commandtext.h"
#include "model/partnerlink.h"
#include "model/serviceconfig.h"
#include "platform/exceptions.h"
#include "platform/system.h"
#include "platform/textconv.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace {

const char* const VersionKey = "version";
// What show prints of the configuration file; apply reads the file itself, so it goes back unread.
const char* const FileKey = "configFile";

// A script knows a setting by its JSON key, and its advice speaks of its own commands.
TLinkFace ScriptFace() {
    return {[](const TSetting& setting) { return std::string(setting.Key); },
            "apply sends the settings again",
            "once the cause is mended, apply the old AS2 IDs and then the new ones again",
            "show them again and apply to what it prints", "nothing was sent; run it again"};
}

// What every command works with: the channel, the terminal and the link over them.
struct TSession {
    explicit TSession(const TLinkOptions& options)
        : Console(Channel), Link(Channel, options.ConfigPath, ScriptFace()) {}

    // Loads the two partners and gives the settings they hold.
    TLinkSettings Load(const std::string& remoteName) {
        Link.Load(remoteName, Console);
        Console.CheckStop();
        TLinkSettings settings;
        Link.Read(settings);
        return settings;
    }

    TCommandHandler Channel;
    TConsole Console;
    TPartnerLink Link;
};

// Runs a command in its session: what was refused before anything was sent exits 2, what could
// not be done with the service 3.
template <class TBody> TExit InSession(const TLinkOptions& options, TBody&& body) {
    try {
        TSession session(options);
        return body(session);
    } catch (const ERefusedError& refused) {
        return Report(refused.Message, TExit::Refused);
    } catch (const Exception& failure) {
        return Report(failure.Message, TExit::Service);
    } catch (const std::exception& failure) {
        return Report(failure.what(), TExit::Service);
    }
}

// Output is part of the result: `exit` once it is written and flushed, else a message that adds
// what the service holds (`held`).
TExit PrintJson(const QJsonObject& object, TExit exit = TExit::Done,
                const std::string& held = std::string()) {
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented);
    errno = 0;
    if (std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout) ==
            static_cast<std::size_t>(text.size()) &&
        std::fflush(stdout) == 0)
        return exit;
    return Report("The output could not be written: " +
                      std::string(errno != 0 ? std::strerror(errno) : "a write failed") + held,
                  TExit::Output);
}

QJsonValue JsonOf(const TSetting& setting, const TLinkSettings& settings) {
    return setting.Text != nullptr ? QJsonValue(ToQString(settings.*setting.Text))
                                   : QJsonValue(settings.*setting.Port);
}

const char* Kind(const QJsonValue& value) {
    const char* const kinds[] = {"null",     "true or false", "a number",
                                 "a string", "an array",      "an object"};
    return value.type() <= QJsonValue::Object ? kinds[value.type()] : "null";
}

struct TInput {
    TLinkSettings Given;                  // the values of the settings given
    std::vector<const TSetting*> Changed; // the settings given
    std::optional<std::string> Version;
};

// The keys the top-level object of valid JSON gives more than once, each once: QJsonDocument
// keeps the last silently.
std::vector<std::string> RepeatedKeys(const std::string& json) {
    std::vector<std::string> keys, repeated;
    int depth = 0;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == '"') {
            const std::size_t start = i;
            for (++i; json[i] != '"'; ++i)
                i += json[i] == '\\' ? 1 : 0;
            const std::size_t next = json.find_first_not_of(" \t\r\n", i + 1);
            if (depth != 1 || next == std::string::npos || json[next] != ':')
                continue;
            const QJsonArray decoded =
                QJsonDocument::fromJson(
                    QByteArray::fromStdString("[" + json.substr(start, i + 1 - start) + "]"))
                    .array();
            const std::string key = ToStdString(decoded.at(0).toString());
            if (std::find(keys.begin(), keys.end(), key) == keys.end())
                keys.push_back(key);
            else if (std::find(repeated.begin(), repeated.end(), key) == repeated.end())
                repeated.push_back(key);
        }
    }
    return repeated;
}

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
    for (const std::string& key : RepeatedKeys(bytes))
        refused.push_back(CommandText::Quoted(key) + ": the key is given more than once");
    const QJsonObject object = document.object();
    for (auto member = object.begin(); member != object.end(); ++member) {
        const std::string name = ToStdString(member.key());
        const QJsonValue value = member.value();
        // What import-cert and show print beside the settings, so that their output applies.
        if (name == "certificate" || name == "warnings" || name == FileKey ||
            name == "localExists" || name == "remoteExists")
            continue;
        const std::vector<TSetting>& settings = LinkSettings();
        const auto setting = std::find_if(settings.begin(), settings.end(),
                                          [&](const TSetting& s) { return name == s.Key; });
        const bool text =
            name == VersionKey || (setting != settings.end() && setting->Text != nullptr);
        if (setting == settings.end() && name != VersionKey) {
            refused.push_back("\"" + name + "\": no such key");
        } else if (text && !value.isString()) {
            refused.push_back(name + ": a string is expected, not " + Kind(value));
        } else if (name == VersionKey) {
            input.Version = ToStdString(value.toString());
        } else if (text) {
            std::string& given = input.Given.*setting->Text;
            given = ToStdString(value.toString());
            try {
                CommandText::CheckConverted(name, given, LoneSurrogate(value.toString()), "sent");
                input.Changed.push_back(&*setting);
            } catch (const EUnsafeCommandText& lone) {
                refused.push_back(lone.Message.substr(0, lone.Message.rfind(". Nothing")));
            }
        } else if (!value.isDouble()) {
            refused.push_back(name + ": a port number is expected, not " + Kind(value));
        } else if (const double number = value.toDouble();
                   number != std::floor(number) || number < 1 || number > 65535) {
            refused.push_back(name + ": " + ToStdString(QString::number(number, 'g', 17)) +
                              " is not a port number from 1 to 65535");
        } else {
            input.Given.*setting->Port = static_cast<int>(number);
            input.Changed.push_back(&*setting);
        }
    }
    return refused;
}

// The refusals of values that the service's records decide. The certificate list is read only
// for a certificate that changes.
std::vector<std::string> CheckAgainstService(const TInput& input, const TLinkSettings& held,
                                             TSession& session) {
    std::vector<std::string> refused;
    const std::string version = session.Link.Version();
    if (input.Version && *input.Version != version)
        refused.push_back(std::string(VersionKey) + ": the AS2 service's records changed since " +
                          "version \"" + *input.Version + "\" was read (they are now \"" + version +
                          "\"); show them again and apply to what it prints");
    for (const TSetting* setting : input.Changed) {
        const std::string given = setting->Value(input.Given);
        const std::string now = setting->Value(held);
        if (setting->Text == &TLinkSettings::LocalName ||
            setting->Text == &TLinkSettings::RemoteName) {
            if (given != now)
                refused.push_back(
                    std::string(setting->Key) + ": " + CommandText::Quoted(given) +
                    " is not the partner the AS2 service holds, " + CommandText::Quoted(now) +
                    (setting->Text == &TLinkSettings::RemoteName ? "; --remote names another"
                                                                 : ""));
        } else if ((setting->Text == &TLinkSettings::LocalCertificate ||
                    setting->Text == &TLinkSettings::RemoteCertificate) &&
                   !given.empty() && given != now) {
            session.Console.Step("Reading the certificate list", 0, 0, TProgress::TCancel::Offered);
            if (!session.Channel.CertificateExists(given))
                refused.push_back(std::string(setting->Key) + ": \"" + given +
                                  "\" is not in the AS2 service's certificate list; import-cert "
                                  "imports one");
        }
    }
    return refused;
}

std::string NotHeld(const std::string& partner) {
    return "The AS2 service holds no partner " + CommandText::Quoted(partner) +
           "; --new-partner creates it";
}

TExit Refuse(const std::vector<std::string>& refused) {
    for (const std::string& line : refused)
        PrintMessage(line);
    PrintMessage("Nothing was sent");
    return TExit::Refused;
}

// Lines of `from` that `to` does not hold, each as often as it is missing.
QJsonArray LinesNotIn(const std::vector<std::string>& from, std::vector<std::string> to) {
    QJsonArray missing;
    for (const std::string& line : from) {
        const auto found = std::find(to.begin(), to.end(), line);
        if (found == to.end())
            missing.append(ToQString(line));
        else
            to.erase(found);
    }
    return missing;
}

QJsonObject Changes(const TLinkSettings& held, const TLinkSettings& sent) {
    QJsonObject changed;
    for (const TSetting& setting : LinkSettings())
        if (setting.Value(held) != setting.Value(sent))
            changed[QLatin1String(setting.Key)] =
                QJsonObject{{"held", JsonOf(setting, held)}, {"sent", JsonOf(setting, sent)}};
    return changed;
}

QJsonArray Texts(const std::vector<std::string>& texts) {
    QJsonArray array;
    for (const std::string& text : texts)
        array.append(ToQString(text));
    return array;
}

// A warning about a certificate file in a script's words; dates as the output gives them.
std::string WarningText(const TCertWarning& warning, const TCertificateFile& file) {
    const std::string date = ToStdString(warning.at.toString(Qt::ISODate));
    const std::string serviceReads = "; the AS2 service reads the file itself and may accept it";
    switch (warning.kind) {
    case TCertWarningKind::Unreadable:
        return "The certificate file cannot be read: " + ToStdString(file.error) + serviceReads;
    case TCertWarningKind::NotCertificate:
        return "The file holds no certificate that can be read" + serviceReads;
    case TCertWarningKind::Locked:
        return "The file does not open with this password: the password is wrong, or the file "
               "uses an older format" +
               serviceReads;
    case TCertWarningKind::Expired:
        return "The certificate expired on " + date;
    case TCertWarningKind::NotYetValid:
        return "The certificate is not valid before " + date;
    case TCertWarningKind::NoPrivateKey:
        return "The file holds a certificate but no private key, which the local partner's "
               "certificate needs (a .p12 or .pfx file)";
    case TCertWarningKind::ExpiresSoon:
        return "The certificate expires on " + date + ", in " + std::to_string(warning.daysLeft) +
               (warning.daysLeft == 1 ? " day" : " days");
    }
    return std::string();
}

// What the certificate file holds, times in ISO 8601 (UTC); null when it cannot be read.
QJsonValue CertificateJson(const TCertificateFile& file) {
    if (file.status != TCertFileStatus::Read)
        return QJsonValue();
    return QJsonObject{{"subject", file.subject.text()},
                       {"issuer", file.issuer.text()},
                       {"notBefore", file.notBefore.toString(Qt::ISODate)},
                       {"notAfter", file.notAfter.toString(Qt::ISODate)},
                       {"sha256", file.sha256}};
}

// What the configuration file named at the load; a script that only reads never fails on it.
QJsonObject FileAtLoad(const TPartnerLink& link) {
    const std::optional<TFileIDs>& named = link.FileAtLoad();
    const TFileIDs ids = named.value_or(TFileIDs());
    const auto id = [](const TFileID& file) {
        return file.ID ? QJsonValue(ToQString(*file.ID)) : QJsonValue(QJsonValue::Null);
    };
    return {{"path", ToQString(link.ConfigPath())},
            {"readable", named.has_value()},
            {"localAS2ID", id(ids.Local)},
            {"remoteAS2ID", id(ids.Remote)},
            {"followsService", named && ids.Local.State == TFileID::TState::Follows &&
                                   ids.Remote.State == TFileID::TState::Follows}};
}

} // namespace

TExit Report(const std::string& message, TExit exit) {
    PrintMessage(message);
    return exit;
}

TExit ShowLink(const TLinkOptions& options) {
    return InSession(options, [&](TSession& session) {
        const TLinkSettings settings = session.Load(options.RemoteName);
        QJsonObject shown;
        for (const TSetting& setting : LinkSettings())
            shown[QLatin1String(setting.Key)] = JsonOf(setting, settings);
        shown[QLatin1String(VersionKey)] = ToQString(session.Link.Version());
        shown[QLatin1String(FileKey)] = FileAtLoad(session.Link);
        shown[QLatin1String("localExists")] = session.Link.Local()->Held;
        shown[QLatin1String("remoteExists")] = session.Link.Remote()->Held;
        return PrintJson(shown);
    });
}

TExit ApplyLink(const TLinkOptions& options, const std::string& bytes) {
    TInput input;
    if (const std::vector<std::string> refused = ParseInput(bytes, input); !refused.empty())
        return Refuse(refused);
    return InSession(options, [&](TSession& session) {
        // Taken before the load, so a run after another reads what the other left.
        std::optional<TPartnerLink::TSaveTurn> turn;
        if (!options.DryRun)
            turn.emplace(session.Link, session.Console);
        const TLinkSettings held = session.Load(options.RemoteName);
        for (const TPartner* partner : {&*session.Link.Local(), &*session.Link.Remote()})
            if (!partner->Held && !options.NewPartner)
                return Refuse({NotHeld(partner->Name)});
        if (const std::vector<std::string> refused = CheckAgainstService(input, held, session);
            !refused.empty())
            return Refuse(refused);
        TLinkSettings settings = held;
        for (const TSetting* setting : input.Changed) {
            if (setting->Text != nullptr)
                settings.*setting->Text = input.Given.*setting->Text;
            else
                settings.*setting->Port = input.Given.*setting->Port;
        }

        QJsonObject result{{"changed", Changes(held, settings)}};
        QJsonObject file{{"path", ToQString(options.ConfigPath)}};
        if (options.DryRun) {
            // As if the service held what would be sent: nothing that changes it is sent.
            const TLinkSave save = session.Link.Prepare(settings);
            const TDiffering differing = session.Link.Check(save, session.Console);
            std::vector<std::string> commands;
            QJsonArray saved;
            for (const auto& [differs, partner, sends] :
                 {std::tuple{differing.Local, &save.Local, save.Local.SaveCommands()},
                  std::tuple{differing.Remote, &save.Remote, save.Remote.SaveCommands()}})
                if (differs) {
                    saved.append(ToQString(partner->Name));
                    commands.insert(commands.end(), sends.begin(), sends.end());
                }
            const std::optional<TConfigIDs> ids = session.Link.FileChange(save);
            file["wouldRewrite"] = ids.has_value();
            result["saved"] = saved;
            if (ids) {
                QFile config(ToQString(options.ConfigPath));
                std::string why;
                if (!OpenRegularFile(config, QIODevice::ReadOnly, why))
                    return Report("The configuration file " + options.ConfigPath +
                                      " cannot be read: " + why,
                                  TExit::ConfigFile);
                const std::string before = config.readAll().toStdString();
                const std::vector<std::string> old = SplitConfigLines(before);
                const std::vector<std::string> now =
                    SplitConfigLines(UpdateConfigText(before, *ids));
                file["change"] =
                    QJsonObject{{"removed", LinesNotIn(old, now)}, {"added", LinesNotIn(now, old)}};
            }
            result["dryRun"] = true;
            result["commands"] = Texts(commands);
            result["configFile"] = file;
            result["restartNeeded"] = ids.has_value();
            return PrintJson(result);
        }

        const TApplyOutcome outcome = session.Console.Hold(
            [&] { return session.Link.Apply(settings, TSaveChoice::Differing, session.Console); });
        result["saved"] = Texts(outcome.Saved);
        file["rewritten"] = outcome.RestartNeeded();
        result["notHeld"] = Texts(outcome.NotHeld);
        result["storeRefused"] = outcome.StoreRefused;
        result["configFile"] = file;
        result["restartNeeded"] = outcome.RestartNeeded();
        if (outcome.Message.empty())
            return PrintJson(result, TExit::Done, ". The AS2 service holds the settings applied");
        Report(outcome.Message, TExit::NotHeld);
        return PrintJson(result,
                         outcome.File == TApplyOutcome::TFile::Failed ? TExit::ConfigFile
                                                                      : TExit::NotHeld,
                         ". The AS2 service was changed; the message above says what it holds");
    });
}

TExit ImportCertificate(const TLinkOptions& options, TCertSide side, const std::string& path,
                        const std::string* password) {
    // Read only to show the file and check its fingerprint: the service reads it itself.
    const TCertificateFile file = ReadCertificateFile(
        ToQString(path), side,
        password != nullptr ? QByteArray::fromStdString(*password) : QByteArray());
    std::vector<std::string> warnings;
    for (const TCertWarning& warning :
         CertificateWarnings(file, side, QDateTime::currentDateTimeUtc())) {
        warnings.push_back(WarningText(warning, file));
        PrintMessage(warnings.back());
    }
    if (!options.ExpectSha256.empty() &&
        !Sha256Matches(ToQString(options.ExpectSha256), file.sha256))
        return Refuse({file.status != TCertFileStatus::Read
                           ? "The certificate's SHA-256 fingerprint cannot be checked"
                           : "The certificate's SHA-256 fingerprint is " +
                                 ToStdString(file.sha256) + ", not " + options.ExpectSha256 +
                                 " as expected"});
    return InSession(options, [&](TSession& session) {
        const bool local = side == TCertSide::Local;
        const TPartnerLink::TSaveTurn turn(session.Link, session.Console);
        const std::string name = local ? LocalPartnerName : options.RemoteName;
        const TPartnerLink::TImportAlias alias = session.Link.ImportAlias(name, session.Console);
        if (!alias.Held && !options.NewPartner)
            return Refuse({NotHeld(name)});
        const TImportOutcome imported = session.Console.Hold([&] {
            return session.Link.ImportCertificate(alias.Alias, path, password, session.Console);
        });
        if (!imported.Listed)
            return Report(imported.Message() + ".\nUnable to import Certificate. Please check " +
                              (password != nullptr ? "Password" : "the file") + " and try again",
                          TExit::NotHeld);
        return PrintJson(
            {{local ? "localCertificate" : "remoteCertificate", ToQString(imported.Alias)},
             {"certificate", CertificateJson(file)},
             {"warnings", Texts(warnings)}},
            TExit::Done, ". The AS2 service's key store holds it under \"" + imported.Alias + "\"");
    });
}
