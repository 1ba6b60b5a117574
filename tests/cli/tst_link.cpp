// vantrel-link as a script runs it: its output, exit code and messages, and what the service and
// the files hold afterwards. The rules themselves are tested with the link; this is the front end.

#include "platform/exceptions.h"
#include "platform/savelock.h"
#include "support/certfiles.h"
#include "support/memoryservice.h"
#include "support/sample.h"
#include "support/standin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

enum class Service { StandIn, None, Dropping, LateRefusal };

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestLink : public QObject {
    Q_OBJECT

private:
    // Runs vantrel-link with the sample's configuration file; %DATA% in an argument names the
    // data folder, %EXPIRED% the expired certificate.
    int link(QStringList args, const QByteArray& input, QByteArray* out, QByteArray* err) {
        args.replaceInStrings(QStringLiteral("%DATA%"), data->path());
        args.replaceInStrings(QStringLiteral("%EXPIRED%"), supportDataFile("expired.cer"));
        QProcess process;
        if (args.removeAll(QStringLiteral("%FULL%")) > 0)
            process.setStandardOutputFile(QStringLiteral("/dev/full"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VANTREL_CONFIG"), data->filePath(QStringLiteral("config.xml")));
        process.setProcessEnvironment(env);
        // %LIMITED%: a file size limit of the configuration file's size, and SIGXFSZ as the system
        // sets it, which ends a program that does not ignore it when a write passes the limit.
        if (args.removeAll(QStringLiteral("%LIMITED%")) > 0) {
            const auto size = rlim_t(QFileInfo(env.value(QStringLiteral("VANTREL_CONFIG"))).size());
            process.setChildProcessModifier([size] {
                std::signal(SIGXFSZ, SIG_DFL);
                const rlimit limit{size, size};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            });
        }
        // %TTY%: at a terminal (script's), typed once the prompt is shown, input left open.
        const bool tty = args.removeAll(QStringLiteral("%TTY%")) > 0;
        if (tty) {
            const QString exe = qEnvironmentVariable("VANTREL_LINK_EXE");
            args = QStringList{"-qec", exe + " '" + args.join(QStringLiteral("' '")) + "'",
                               "/dev/null"};
        }
        process.start(tty ? QStringLiteral("script") : qEnvironmentVariable("VANTREL_LINK_EXE"),
                      args);
        QByteArray shown;
        while (tty && !shown.contains("Password for") && process.waitForReadyRead(15000))
            shown += process.readAllStandardOutput();
        process.write(input);
        if (!tty)
            process.closeWriteChannel();
        if (!process.waitForFinished(30000))
            return -1;
        *out = shown + process.readAllStandardOutput();
        *err = process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    std::unique_ptr<QTemporaryDir> data;
    std::unique_ptr<QTemporaryDir> sample;
    std::unique_ptr<StandIn> standin;

private Q_SLOTS:
    // A stop signal while the check before the save reads ends the run with nothing sent.
    void signalDuringTheCheck_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGHUP") << SIGHUP;
        QTest::newRow("SIGQUIT") << SIGQUIT;
        QTest::newRow("SIGINT") << SIGINT;
    }
    void signalDuringTheCheck() {
        QFETCH(int, signal);
        QCOMPARE(standin->stop(), 0);
        MemoryService memory;
        Sample::Fill(memory);
        std::atomic<int> lists{0}; // the load reads the list twice, the check once more
        memory.delayMs = [&lists](const std::string& c) {
            return c == "Partnership List" && ++lists == 3 ? 20000 : 0;
        };
        FakeService fake(memory.responder(), FakeService::Recording::On, 4321);
        QProcess process;
        process.start(qEnvironmentVariable("VANTREL_LINK_EXE"), {"apply"});
        process.write("{\"remoteAS2ID\": \"NEW-7\"}");
        process.closeWriteChannel();
        QTRY_VERIFY_WITH_TIMEOUT(lists == 3, 15000);
        ::kill(static_cast<pid_t>(process.processId()), signal);
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitCode(), 3);
        for (const std::string& command : fake.commands())
            QVERIFY2(command.find("Delete") == std::string::npos, command.c_str());
    }

    // While another program saves, apply and an import wait before they read anything and say
    // for whom; they then go on, or a stop signal ends them with nothing sent.
    void waitForAnotherSave_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("signal"); // 0: the other save ends
        QTest::newRow("apply") << QStringList{"apply"} << 0;
        QTest::newRow("apply, SIGINT") << QStringList{"apply"} << SIGINT;
        QTest::newRow("import") << QStringList{"import-cert", "remote", "%DATA%/certs/remote.cer"}
                                << 0;
    }
    void waitForAnotherSave() {
        QFETCH(QStringList, args);
        QFETCH(int, signal);
        // A connection the waiting run left open would hold up the other save for a minute.
        QCOMPARE(standin->stop(), 0);
        QVERIFY(standin->start({"--port", "4321", "--idle-time", "60"}));
        const QString config = data->filePath(QStringLiteral("config.xml"));
        TSaveLock other(config.toStdString());
        other.Take([](const std::string&) { throw ECancelled("held"); });
        const int logged = standin->errorText().size();
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VANTREL_CONFIG"), config);
        process.setProcessEnvironment(env);
        process.start(qEnvironmentVariable("VANTREL_LINK_EXE"),
                      args.replaceInStrings(QStringLiteral("%DATA%"), data->path()));
        process.write("{\"remoteAS2ID\": \"NEW-7\"}");
        process.closeWriteChannel();
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT(
            (err += process.readAllStandardError())
                .contains("vantrel-link: Waiting for another save to finish: tst_link, process " +
                          QByteArray::number(QCoreApplication::applicationPid()) + "\n"),
            15000);
        QVERIFY(!standin->errorText().mid(logged).contains("Partner")); // not even a question
        QVERIFY(standin->command("cert List").contains("AS2Local:0"));
        if (signal != 0)
            ::kill(static_cast<pid_t>(process.processId()), signal);
        else
            other.Release();
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitCode(), signal != 0 ? 3 : 0);
        QCOMPARE(standin->errorText().mid(logged).contains(
                     QRegularExpression(QStringLiteral("Partnership Store|Cert import"))),
                 signal == 0);
    }

    void cleanup() {
        QFile::remove(QString::fromStdString(
            TSaveLock::PathFor(data->filePath(QStringLiteral("config.xml")).toStdString())));
    }
    void init() {
        QVERIFY(!standinProgram().isEmpty());
        standin.reset();
        data = std::make_unique<QTemporaryDir>();
        sample = std::make_unique<QTemporaryDir>();
        standin = std::make_unique<StandIn>(data->path());
        QVERIFY(standin->initSample());
        QCOMPARE(QProcess::execute(
                     QStringLiteral("cp"),
                     {QStringLiteral("-a"), data->path() + QStringLiteral("/."), sample->path()}),
                 0);
        QVERIFY2(standin->start({QStringLiteral("--port"), QStringLiteral("4321")}),
                 qPrintable(standin->errorText()));
    }

    void run_data() {
        QTest::addColumn<Service>("service");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        // A command that changes the service's records between show (which gives the version)
        // and the run.
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QStringList>("out");
        QTest::addColumn<QString>("err");
        // The files that differ from the sample afterwards; the rest are as they were.
        QTest::addColumn<QStringList>("changed");

        const QByteArray newID("{\"remoteAS2ID\": \"NEW-7\"}");
        const QStringList apply{QStringLiteral("apply")};
        const QStringList saved{"partnerships.xml", "config.xml"};
        QTest::newRow("show") << Service::StandIn << QStringList{"show"} << QByteArray()
                              << QString() << 0
                              << QStringList{"\"remoteAS2ID\": \"REMOTEID\"",
                                             "\"incomingAS2Port\": 4080",
                                             "\"incomingMDNPort\": 10081", "\"version\": \"",
                                             "\"followsService\": true"}
                              << QString() << QStringList();
        // A save the service finished after its client gave up: the file names the old ID.
        const QString finished = "Partner Add AS2Remote as2_id=\"NEW-7\" "
                                 "email=\"as2@remote.example\" x509_alias=\"AS2Remote:0\"";
        QTest::newRow("show, file behind")
            << Service::StandIn << QStringList{"show"} << QByteArray() << finished << 0
            << QStringList{"\"followsService\": false", "\"remoteAS2ID\": \"REMOTEID\""}
            << QString() << QStringList();
        QTest::newRow("apply {}, file behind")
            << Service::StandIn << apply << QByteArray("{}") << finished << 0
            << QStringList{"\"rewritten\": true", "\"restartNeeded\": true", "\"saved\": [\n    ]"}
            << QString() << QStringList{"config.xml"};
        QTest::newRow("apply - of nothing new sends nothing")
            << Service::StandIn << QStringList{"apply", "-"} << QByteArray("{}") << QString() << 0
            << QStringList{"\"saved\": [\n    ]", "\"rewritten\": false"} << QString()
            << QStringList();
        QTest::newRow("a key twice")
            << Service::StandIn << apply
            << QByteArray("{\"remoteEmail\": \"a@b\", \"x\": {\"remoteEmail\": 1}, "
                          "\"remoteEmail\": \"c\"}")
            << QString() << 2 << QStringList()
            << "vantrel-link: \"remoteEmail\": the key is given more than once" << QStringList();
        QTest::newRow("a line break quoted")
            << Service::StandIn << apply << QByteArray("{\"remoteEmail\": \"a\\nb\"}") << QString()
            << 2 << QStringList() << "vantrel-link: remoteEmail: \"a\\nb\" holds" << QStringList();
        QTest::newRow("show an unknown partner")
            << Service::StandIn << QStringList{"show", "--remote", "Nobdoy"} << QByteArray()
            << QString() << 0 << QStringList{"\"remoteExists\": false", "\"localExists\": true"}
            << QString() << QStringList();
        QTest::newRow("apply to an unknown partner")
            << Service::StandIn << QStringList{"apply", "--remote", "Nobdoy"} << newID << QString()
            << 2 << QStringList()
            << "vantrel-link: The AS2 service holds no partner \"Nobdoy\"; --new-partner"
            << QStringList();
        QTest::newRow("... created when asked")
            << Service::StandIn
            << QStringList{"apply", "--remote", "Nobdoy", "--new-partner", "--dry-run"} << newID
            << QString() << 0
            << QStringList{"Partner Add Nobdoy as2_id=\\\"NEW-7\\\"",
                           "Partnership Add AS2Local-Nobdoy AS2Local Nobdoy", "\"Nobdoy\""}
            << QString() << QStringList();
        QTest::newRow("import for an unknown partner")
            << Service::StandIn
            << QStringList{"import-cert", "remote", "%DATA%/certs/remote.cer", "--remote", "Nobdoy"}
            << QByteArray() << QString() << 2 << QStringList() << "--new-partner creates it"
            << QStringList();
        QTest::newRow("help-all") << Service::StandIn << QStringList{"--help-all"} << QByteArray()
                                  << QString() << 0 << QStringList{"--new-partner", "import-cert"}
                                  << QString() << QStringList();
        QTest::newRow("apply, remote AS2 ID")
            << Service::StandIn << apply
            << QByteArray("{\"remoteAS2ID\": \"NEW-7\", \"version\": \"%V\", \"configFile\": {}}")
            << QString() << 0 << QStringList{"\"rewritten\": true", "\"restartNeeded\": true"}
            << QString() << saved;
        QTest::newRow("dry run") << Service::StandIn << QStringList{"apply", "--dry-run"} << newID
                                 << QString() << 0
                                 << QStringList{"Partner Add AS2Remote as2_id=\\\"NEW-7\\\"",
                                                "\"sender.as2_id=NEW-7", "\"wouldRewrite\": true"}
                                 << QString() << QStringList();
        QTest::newRow("import local")
            << Service::StandIn << QStringList{"import-cert", "local", "%DATA%/certs/local.p12"}
            << QByteArray("demo\n") << QString() << 0
            << QStringList{"\"localCertificate\": \"AS2Local:1\"", "\"subject\": \"CN=AS2Local"}
            << QString() << QStringList{"keystore.xml"};
        // Not echoed: the line end follows the prompt.
        QTest::newRow("import local at a terminal")
            << Service::StandIn
            << QStringList{"import-cert", "local", "%DATA%/certs/local.p12", "%TTY%"}
            << QByteArray("demo\n") << QString() << 0
            << QStringList{"Password for local.p12: \r\n", "\"localCertificate\": \"AS2Local:1\""}
            << QString() << QStringList{"keystore.xml"};
        QTest::newRow("import remote")
            << Service::StandIn << QStringList{"import-cert", "remote", "%DATA%/certs/remote.cer"}
            << QByteArray() << QString() << 0
            << QStringList{"\"remoteCertificate\": \"AS2Remote:1\""} << QString()
            << QStringList{"keystore.xml"};
        const QString expired = QString::fromLatin1(ExpiredSha256);
        QTest::newRow("import expired, its own fingerprint as typed")
            << Service::StandIn
            << QStringList{"import-cert", "remote", "%EXPIRED%", "--expect-sha256",
                           expired.toLower().remove(':')}
            << QByteArray() << QString() << 0
            << QStringList{"\"remoteCertificate\": \"AS2Remote:1\"",
                           "\"sha256\": \"" + expired + "\"",
                           "\"notAfter\": \"2021-01-01T00:00:00Z\"",
                           "\"issuer\": \"CN=Vantrel Test CA, O=Vantrel Test\"",
                           "\"The certificate expired on 2021-01-01T00:00:00Z\""}
            << "vantrel-link: The certificate expired on 2021-01-01T00:00:00Z\n"
            << QStringList{"keystore.xml"};
        QTest::newRow("import, another certificate's fingerprint")
            << Service::StandIn
            << QStringList{"import-cert", "remote", "%DATA%/certs/remote.cer", "--expect-sha256",
                           expired}
            << QByteArray() << QString() << 2 << QStringList()
            << ", not " + expired + " as expected\nvantrel-link: Nothing was sent" << QStringList();
        QTest::newRow("import, fingerprint of no certificate")
            << Service::StandIn
            << QStringList{"import-cert", "remote", "%DATA%/config.xml", "--expect-sha256", expired}
            << QByteArray() << QString() << 2 << QStringList()
            << "fingerprint cannot be checked\nvantrel-link: Nothing was sent" << QStringList();
        QTest::newRow("apply takes what import-cert prints")
            << Service::StandIn << QStringList{"apply", "--dry-run"}
            << QByteArray("{\"remoteCertificate\": \"AS2Remote:0\", \"certificate\": null, "
                          "\"warnings\": [\"a\"]}")
            << QString() << 0 << QStringList{"\"changed\": {\n    }"} << QString() << QStringList();
        QTest::newRow("refused port")
            << Service::StandIn << apply
            << QByteArray("{\"remoteAS2ID\": \"X\", \"incomingAS2Port\": 0}") << QString() << 2
            << QStringList() << "vantrel-link: incomingAS2Port: 0 is not a port number"
            << QStringList();
        QTest::newRow("refused names")
            << Service::StandIn << apply
            << QByteArray("{\"remoteName\": \"X\", \"localCertificate\": \"nope\"}") << QString()
            << 2 << QStringList()
            << "localCertificate: \"nope\" is not in the AS2 service's certificate list; "
               "import-cert imports one\nvantrel-link: remoteName: \"X\" is not the partner"
            << QStringList();
        QTest::newRow("usage") << Service::StandIn << QStringList{"show", "--bogus"} << QByteArray()
                               << QString() << 2 << QStringList() << "Unknown option 'bogus'"
                               << QStringList();
        QTest::newRow("stale version")
            << Service::StandIn << apply
            << QByteArray("{\"remoteAS2ID\": \"X\", \"version\": \"%V\"}")
            << "Partnership Delete AS2Remote-AS2Local" << 2 << QStringList()
            << "vantrel-link: version: the AS2 service's records changed" << QStringList();
        QTest::newRow("stale version: a setting the window does not show")
            << Service::StandIn << apply
            << QByteArray("{\"remoteAS2ID\": \"X\", \"version\": \"%V\"}")
            << "Partner Add AS2Local as2_id=\"LOCALID\" email=\"as2@local.example\" "
               "x509_alias=\"AS2Local:0\" note=\"x\""
            << 2 << QStringList() << "vantrel-link: version: the AS2 service's records changed"
            << QStringList();
        QTest::newRow("refused lone surrogate")
            << Service::StandIn << apply
            << QByteArray("{\"remoteEmail\": \"a\\ud800b@remote.example\"}") << QString() << 2
            << QStringList()
            << "vantrel-link: remoteEmail: \"a?b@remote.example\" holds a lone surrogate (U+D800)"
            << QStringList();
        QTest::newRow("output to a full disk")
            << Service::StandIn << QStringList{"show", "%FULL%"} << QByteArray() << QString() << 6
            << QStringList() << "vantrel-link: The output could not be written: No space left"
            << QStringList();
        QTest::newRow("no service")
            << Service::None << QStringList{"show"} << QByteArray() << QString() << 3
            << QStringList() << "localhost:4321" << QStringList();
        QTest::newRow("dropped command")
            << Service::Dropping << apply << newID << QString() << 4
            << QStringList{"\"notHeld\": [", "\"Partner AS2Remote was deleted and not added again"}
            << "vantrel-link: Partner AS2Remote was deleted and not added again" << QStringList();
        QTest::newRow("Partnership Store refused 3 s late")
            << Service::LateRefusal << apply << newID << QString() << 4
            << QStringList{"\"storeRefused\": true", "\"rewritten\": false"}
            << "vantrel-link: The AS2 service did not store the settings of partner AS2Local"
            << QStringList{"partnerships.xml"};
        QTest::newRow("wrong password")
            << Service::StandIn << QStringList{"import-cert", "local", "%DATA%/certs/local.p12"}
            << QByteArray("wrong\n") << QString() << 4 << QStringList()
            << "vantrel-link: Unable to import Certificate" << QStringList();
        QTest::newRow("file not updated")
            << Service::StandIn << QStringList{"apply", "--config", "%DATA%/none/config.xml"}
            << newID << QString() << 5 << QStringList{"\"rewritten\": false"}
            << "still names \"LOCALID\" and \"REMOTEID\"" << QStringList{"partnerships.xml"};
        QTest::newRow("file size limit")
            << Service::StandIn << QStringList{"apply", "%LIMITED%"} << newID << QString() << 5
            << QStringList{"\"rewritten\": false"} << "is larger than the file size limit"
            << QStringList{"partnerships.xml"};
    }

    void run() {
        QFETCH(Service, service);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(QString, meanwhile);
        QFETCH(int, exit);
        QFETCH(QStringList, out);
        QFETCH(QString, err);
        QFETCH(QStringList, changed);
        QByteArray stdOut;
        QByteArray stdErr;
        if (input.contains("%V")) {
            QCOMPARE(link({"show"}, {}, &stdOut, &stdErr), 0);
            input.replace("%V", QRegularExpression(QStringLiteral("\"version\": \"(\\w+)\""))
                                    .match(QString::fromUtf8(stdOut))
                                    .captured(1)
                                    .toUtf8());
        }
        if (!meanwhile.isEmpty())
            standin->command(meanwhile.toUtf8());
        const int logged = standin->errorText().size();
        MemoryService memory;
        std::unique_ptr<FakeService> fake;
        if (service != Service::StandIn)
            QCOMPARE(standin->stop(), 0);
        if (service == Service::LateRefusal) {
            // Each store takes 3 s and then cannot write its file.
            QVERIFY(standin->start({"--port", "4321", "--store-time", "3"}));
            const QString store = data->filePath(QStringLiteral("partnerships.xml"));
            QVERIFY(QFile::remove(store) && QDir().mkdir(store));
        }
        if (service == Service::Dropping) {
            Sample::Fill(memory);
            memory.rewrites["Partner Add AS2Remote as2_id=\"NEW-7\" email=\"you@remote\" "
                            "x509_alias=\"AS2Remote:2\""] = "";
            fake =
                std::make_unique<FakeService>(memory.responder(), FakeService::Recording::On, 4321);
        }

        QCOMPARE(link(args, input, &stdOut, &stdErr), exit);
        for (const QString& text : out)
            QVERIFY2(stdOut.contains(text.toUtf8()), stdOut.constData());
        QVERIFY2(stdErr.contains(err.toUtf8()), stdErr.constData());
        if (exit == 0 && err.isEmpty())
            QVERIFY2(stdErr.isEmpty(), stdErr.constData());
        // A script is not told of buttons it does not have.
        QVERIFY2(!stdErr.contains("OK ") && !stdErr.contains("Cancel") &&
                     !stdErr.contains("dialog"),
                 stdErr.constData());
        // An import reads the partner it imports for, not the whole link.
        if (args.value(0) == "import-cert")
            QVERIFY(!standin->errorText().mid(logged).contains("Partnership List"));

        for (const QString name : {"partnerships.xml", "keystore.xml", "config.xml"}) {
            QByteArray expected = fileBytes(sample->filePath(name));
            const QByteArray actual = fileBytes(data->filePath(name));
            if (changed.contains(name) && name == QLatin1String("config.xml"))
                QCOMPARE(actual, expected.replace("as2_id=REMOTEID", "as2_id=NEW-7")
                                     .replace("\n", "\r\n")); // as the window rewrites it
            else if (changed.contains(name))
                QVERIFY2(actual != expected, qPrintable(name));
            else
                QCOMPARE(actual, expected);
        }
        QCOMPARE(QDir(data->path()).entryList({"config.xml?*"}), QStringList()); // no new file left
        // Nothing that changes the service was sent, unless the service refused it.
        if (changed.isEmpty() && service == Service::StandIn && exit != 4)
            QVERIFY2(!standin->errorText().mid(logged).contains(QRegularExpression(
                         "(Partner|Partnership) (Add|Delete)|Partnership Store|Cert import")),
                     qPrintable(standin->errorText().mid(logged)));
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
