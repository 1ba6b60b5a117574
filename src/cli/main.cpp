// vantrel-link: the partner link of the configuration dialog, from a script.

#include "cli/commands.h"
#include "model/partnerlink.h"
#include "model/serviceconfig.h"
#include "platform/certfile.h"
#include "platform/system.h"
#include "platform/textconv.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <optional>

namespace {

const char* const Commands = R"(
Commands:
  show                    Print the link's settings as one JSON object, with the
                          "version" of the records read, "configFile": the AS2
                          IDs the configuration file names (null where that cannot
                          be told) and whether it follows the service, and
                          "localExists"/"remoteExists": whether the service holds
                          each partner.
  apply [FILE]            Apply such an object (from FILE, or standard input when
                          FILE is - or left out) with the dialog's checks; a key
                          left out keeps what the service holds, a key given twice
                          is refused. A partner is saved only when its save would
                          send something other than the service holds; "saved"
                          names those saved ([] when none, and then nothing that
                          changes the service is sent). Prints what changed, what
                          the service does not hold and whether it must be
                          restarted. Any apply, {} included, mends a configuration
                          file left behind the service.
  import-cert local|remote FILE
                          Import a certificate as the Import buttons do and print its
                          alias, which apply then gives the partner, beside what the
                          file holds ("certificate": subject, issuer, notBefore and
                          notAfter in ISO 8601 UTC, sha256) and its "warnings" (also
                          on standard error). A local (private) certificate's
                          password comes from --password-file (- for standard
                          input), else it is asked for at a terminal (not echoed,
                          ended by Enter), else read from standard input.

apply and import-cert refuse a partner the service does not hold (exit 2, nothing
sent) unless --new-partner is given. A value quoted in a message shows a line break
as \n. --help-all prints this help too.

apply (without --dry-run) and import-cert wait while another program saves for the
same configuration file (the dialog's OK or Import, another vantrel-link), and then
read what it left.

Exit codes (where several apply, the highest wins):
  0  done
  2  refused input, usage included, or records the service changed since they were
     read; nothing was sent
  3  the AS2 service cannot be reached, does not answer, or a load failed; or a
     stop signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) arrived before the service was
     changed (once it is being changed, the run waits for the outcome)
  4  the AS2 service does not hold what was sent (an unconfirmed import and a
     refused "Partnership Store" included)
  5  the configuration file was not updated
  6  the output could not be written (the message says what the service holds)
)";

TExit Usage(const std::string& message) {
    return Report(message + "\nRun vantrel-link --help for its commands", TExit::Refused);
}

// The whole of a file, or of standard input when the path is empty or "-".
std::optional<std::string> ReadInput(QString path, const char* what) {
    if (path == QLatin1String("-"))
        path.clear();
    QFile file(path);
    const bool open =
        path.isEmpty() ? file.open(stdin, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
    const QByteArray bytes = open ? file.readAll() : QByteArray();
    if (!open || file.error() != QFileDevice::NoError) {
        Report(std::string("Cannot read ") + what + " " +
                   (path.isEmpty() ? std::string("from standard input") : ToStdString(path)) +
                   ": " + ToStdString(file.errorString()),
               TExit::Refused);
        return std::nullopt;
    }
    return bytes.toStdString();
}

TExit ImportCommand(const QStringList& args, const QString& passwordFile,
                    const TLinkOptions& options) {
    if (args.size() != 3 ||
        (args[1] != QLatin1String("local") && args[1] != QLatin1String("remote")))
        return Usage("import-cert takes local or remote and the certificate file");
    const QFileInfo file(args[2]);
    const std::string path = ToStdString(file.absoluteFilePath());
    if (!file.isFile())
        return Usage("No certificate file " + path);
    if (args[1] == QLatin1String("remote")) {
        if (!passwordFile.isEmpty())
            return Usage("A remote (public) certificate takes no password");
        return ImportCertificate(options, TCertSide::Remote, path, nullptr);
    }
    std::optional<std::string> password =
        passwordFile.isEmpty()
            ? AskAtTerminal("Password for " + ToStdString(file.fileName()) + ": ")
            : std::nullopt;
    if (!password)
        password = ReadInput(passwordFile, "the password");
    if (!password)
        return TExit::Refused;
    // One line end, as a file or an echo ends the password.
    if (password->size() >= 2 && password->compare(password->size() - 2, 2, "\r\n") == 0)
        password->resize(password->size() - 2);
    else if (!password->empty() && password->back() == '\n')
        password->pop_back();
    if (password->empty())
        return Usage("The password is empty; nothing was imported");
    return ImportCertificate(options, TCertSide::Local, path, &*password);
}

TExit Run() {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reads and sets the link between this machine's AS2 service and one trading partner\n"
        "through the service's command port (localhost:4321), with the checks, read-back and\n"
        "configuration file update of the vantrel-config dialog."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption remote(QStringLiteral("remote"),
                                    QStringLiteral("The remote partner's name (default %1).")
                                        .arg(QLatin1String(DefaultRemotePartnerName)),
                                    QStringLiteral("NAME"),
                                    QLatin1String(DefaultRemotePartnerName));
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("The service's configuration file (default: $VANTREL_CONFIG, else %1).")
            .arg(QStringLiteral("/var/lib/as2data/config.xml")),
        QStringLiteral("PATH"));
    const QCommandLineOption dryRun(
        QStringLiteral("dry-run"),
        QStringLiteral("With apply: print the partners it would save, their commands and the "
                       "file change (\"wouldRewrite\"); send nothing that changes the service."));
    const QCommandLineOption passwordFile(
        QStringLiteral("password-file"),
        QStringLiteral("With import-cert local: read the password from this file."),
        QStringLiteral("FILE"));
    const QCommandLineOption expectSha256(
        QStringLiteral("expect-sha256"),
        QStringLiteral("With import-cert: import only a certificate of this SHA-256 fingerprint "
                       "(colons and letter case ignored); refuse any other, or one that cannot be "
                       "read, with nothing sent."),
        QStringLiteral("HEX"));
    const QCommandLineOption newPartner(
        QStringLiteral("new-partner"),
        QStringLiteral("With apply and import-cert: create a partner the service does not hold "
                       "(without it, such a partner is refused with nothing sent)."));
    parser.addOptions({remote, config, dryRun, passwordFile, expectSha256, newPartner});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("show, apply or import-cert (see below)."),
                                 QStringLiteral("COMMAND [ARGUMENTS]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return Usage(ToStdString(parser.errorText()));
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs((parser.helpText().toStdString() + Commands).c_str(), stdout);
        return TExit::Done;
    }
    if (parser.isSet(version)) {
        std::printf("vantrel-link %s\n", VANTREL_VERSION);
        return TExit::Done;
    }

    TLinkOptions options;
    options.RemoteName = ToStdString(parser.value(remote));
    options.ConfigPath =
        parser.isSet(config) ? ToStdString(parser.value(config)) : DefaultServiceConfigPath();
    options.DryRun = parser.isSet(dryRun);
    options.NewPartner = parser.isSet(newPartner);
    options.ExpectSha256 = ToStdString(NormalizedSha256(parser.value(expectSha256)));
    if (options.ConfigPath.empty())
        return Usage("--config names no file");

    const QStringList args = parser.positionalArguments();
    const std::string command = ToStdString(args.value(0));
    if (command.empty())
        return Usage("No command given");
    if (options.NewPartner && command != "apply" && command != "import-cert")
        return Usage("--new-partner goes with apply and import-cert only");
    if (options.DryRun && command != "apply")
        return Usage("--dry-run goes with apply only");
    if (parser.isSet(passwordFile) && command != "import-cert")
        return Usage("--password-file goes with import-cert local only");
    if (parser.isSet(expectSha256) && command != "import-cert")
        return Usage("--expect-sha256 goes with import-cert only");
    if (parser.isSet(expectSha256) && options.ExpectSha256.empty())
        return Usage("--expect-sha256 takes a SHA-256 fingerprint: 64 hexadecimal digits");

    if (command == "show")
        return args.size() == 1 ? ShowLink(options) : Usage("show takes no arguments");
    if (command == "apply") {
        if (args.size() > 2)
            return Usage("apply takes at most one file");
        const std::optional<std::string> input = ReadInput(args.value(1), "the settings");
        return input ? ApplyLink(options, *input) : TExit::Refused;
    }
    if (command == "import-cert")
        return ImportCommand(args, parser.value(passwordFile), options);
    return Usage("Unknown command " + command);
}

} // namespace

int main(int argc, char** argv) {
    PrepareProcess();
    const QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrel-link"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTREL_VERSION));
    return static_cast<int>(Run());
}
