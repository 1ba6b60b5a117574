// as2-standin: takes the AS2 service's place on its command port for the tests and the demo.

#include "certs.h"
#include "commands.h"
#include "sample.h"
#include "server.h"
#include "store.h"

#include <QDir>
#include <QString>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace standin;

namespace {

constexpr std::uint16_t DefaultPort = 4321;

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: as2-standin [--port N] [--idle-time S] [--line-time S] [--store-time S]\n"
                 "                   --data DIR\n"
                 "       as2-standin --init DIR\n"
                 "\n"
                 "Serves the AS2 service's command port on 127.0.0.1 (port %u by default;\n"
                 "--port 0 takes a free one). The port in use is the first line of standard\n"
                 "output. Partners and partnerships live in DIR/partnerships.xml, written on\n"
                 "\"Partnership Store\"; the key store in DIR/keystore.xml.\n"
                 "\n"
                 "A connection is dropped when it is silent for --idle-time seconds (5) or has\n"
                 "not completed its command line --line-time seconds (10) after it was taken.\n"
                 "\"Partnership Store\" takes --store-time seconds (0) before it writes.\n"
                 "\n"
                 "--init DIR writes a sample data folder: two partners, their partnerships,\n"
                 "a key store, config.xml, and certs/local.p12 (password \"%s\") and\n"
                 "certs/remote.cer.\n",
                 DefaultPort, DemoPassword);
}

int fail(const QString& message, int code = 1) {
    logLine(message);
    return code;
}

struct Options {
    std::uint16_t port = DefaultPort;
    LineLimits limits;
    std::chrono::seconds storeTime{0};
    QString data;
    QString init;
};

// Returns -1 to go on, or the exit code.
int parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            usage(stdout);
            return 0;
        }
        const bool takesValue =
            arg == QLatin1String("--port") || arg == QLatin1String("--data") ||
            arg == QLatin1String("--init") || arg == QLatin1String("--idle-time") ||
            arg == QLatin1String("--line-time") || arg == QLatin1String("--store-time");
        if (!takesValue) {
            usage(stderr);
            return fail(QStringLiteral("unknown argument %1").arg(arg), 2);
        }
        if (i + 1 >= argc)
            return fail(QStringLiteral("%1 needs a value").arg(arg), 2);
        const QString value = QString::fromLocal8Bit(argv[++i]);
        if (arg == QLatin1String("--port")) {
            bool ok = false;
            const uint port = value.toUInt(&ok);
            if (!ok || port > 65535)
                return fail(QStringLiteral("--port takes 0 to 65535, not %1").arg(value), 2);
            o.port = static_cast<std::uint16_t>(port);
        } else if (arg == QLatin1String("--idle-time") || arg == QLatin1String("--line-time")) {
            bool ok = false;
            const uint seconds = value.toUInt(&ok);
            if (!ok || seconds < 1 || seconds > 3600)
                return fail(QStringLiteral("%1 takes 1 to 3600 seconds, not %2").arg(arg, value),
                            2);
            (arg == QLatin1String("--idle-time") ? o.limits.idle : o.limits.line) =
                std::chrono::seconds(seconds);
        } else if (arg == QLatin1String("--store-time")) {
            bool ok = false;
            const uint seconds = value.toUInt(&ok);
            if (!ok || seconds > 3600)
                return fail(
                    QStringLiteral("--store-time takes 0 to 3600 seconds, not %1").arg(value), 2);
            o.storeTime = std::chrono::seconds(seconds);
        } else if (arg == QLatin1String("--data")) {
            o.data = value;
        } else {
            o.init = value;
        }
    }
    if (o.init.isEmpty() && o.data.isEmpty()) {
        usage(stderr);
        return fail(QStringLiteral("--data DIR is required"), 2);
    }
    return -1;
}

// SIGINT and SIGTERM arrive on a descriptor that the server polls, so a command in progress
// is finished before the service stops.
int stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // A background job may start with SIGINT ignored; it would then never reach the descriptor.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int code = parse(argc, argv, options); code >= 0)
        return code;

    const CryptoProviders providers;
    QString error;
    if (!options.init.isEmpty()) {
        if (!writeSample(options.init, error))
            return fail(error);
        logLine(QStringLiteral("sample data written to %1 (certs/local.p12 password \"%2\")")
                    .arg(options.init, QString::fromLatin1(DemoPassword)));
        return 0;
    }

    const Fd stopFd(stopSignals());
    if (stopFd.get() < 0)
        return fail(QStringLiteral("cannot set up signal handling"));
    if (!QDir().mkpath(options.data))
        return fail(QStringLiteral("cannot create the data folder %1").arg(options.data));
    PartnerData data;
    KeyStore keys;
    if (!loadPartnerData(partnershipsFile(options.data), data, error) ||
        !loadKeyStore(keyStoreFile(options.data), keys, error))
        return fail(error);

    Server server(options.limits);
    if (!server.listen(options.port, error))
        return fail(error);
    std::printf("%u\n", server.port());
    std::fflush(stdout);
    logLine(QStringLiteral("listening on 127.0.0.1 port %1, data in %2")
                .arg(server.port())
                .arg(QDir(options.data).absolutePath()));

    Service service(options.data, std::move(data), std::move(keys));
    service.storeTime = options.storeTime;
    server.run(stopFd.get(), service);

    signalfd_siginfo info{};
    const bool got = ::read(stopFd.get(), &info, sizeof info) == sizeof info;
    logLine(QStringLiteral("stopping on %1")
                .arg(got ? QString::fromLatin1(strsignal(static_cast<int>(info.ssi_signo)))
                         : QStringLiteral("a signal")));
    return 0;
}
