#include "server.h"

#include "commands.h"

#include <QByteArray>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace standin {

namespace {

using Clock = std::chrono::steady_clock;

// What one client may hold, and for how long. A command line is a few hundred bytes and arrives
// at once; the limits only keep a faulty or hostile client from holding memory or descriptors.
// A line may be as long as a reply the client reads, so that the service is no stricter than it;
// all unfinished lines together hold at most MaxPending.
constexpr qsizetype MaxLine = 16 * 1024 * 1024;
constexpr qsizetype MaxPending = 64 * 1024 * 1024;
constexpr std::size_t MaxConnections = 128;
constexpr std::chrono::seconds WriteTime{5};  // for the client to take the whole reply
constexpr std::chrono::seconds LingerTime{2}; // after the reply, for the client to close first
constexpr std::chrono::seconds StopTime{1};   // on a signal, for replies still on their way
constexpr std::chrono::seconds AcceptPause{1};
constexpr size_t ChunkSize = 16 * 1024;

// A complete line waits (Queued) until every connection accepted before it has delivered its line
// or closed: a long line takes several reads, and a short one behind it must not overtake it.
enum class Phase { Reading, Queued, Writing, Closing };

struct Connection {
    Fd fd;
    Phase phase = Phase::Reading;
    Clock::time_point deadline;
    Clock::time_point lineDeadline; // for the whole line, however its bytes trickle in
    QByteArray in;                  // the line so far; once Queued, the line up to its LF
    QByteArray out;                 // the reply
    qsizetype sent = 0;
    qsizetype discarded = 0; // after the reply, so that closing does not reset the connection

    bool open() const { return fd.get() >= 0; }
    void close() { fd = Fd(); }
    short events() const { return phase == Phase::Writing ? POLLOUT : POLLIN; }
    // A queued connection is not looked at: what its client does meanwhile cannot matter, and
    // its hang-up would wake the poll over and over.
    int polledFd() const { return phase == Phase::Queued ? -1 : fd.get(); }
};

// Rounded up, so that a wait never ends just before its deadline and turns into a busy loop.
int millisecondsUntil(Clock::time_point deadline, Clock::time_point now) {
    if (deadline <= now)
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Nothing to do now: the socket is not ready, or a signal came between.
bool tryLater() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// Sends what the socket takes now; once the whole reply is out, ends the sending side and waits
// for the client to close. The client may be gone already; that is its business, not a failure
// of the command.
void sendReply(Connection& c) {
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd.get(), c.out.constData() + c.sent,
                                 static_cast<size_t>(c.out.size() - c.sent), MSG_NOSIGNAL);
        if (n > 0) {
            c.sent += n;
            continue;
        }
        if (n < 0 && tryLater())
            return;
        c.close();
        return;
    }
    c.out = QByteArray();
    ::shutdown(c.fd.get(), SHUT_WR);
    c.phase = Phase::Closing;
    c.deadline = Clock::now() + LingerTime;
}

// Takes what has arrived; queues the line once it is complete. Only the first line of a
// connection is read.
void receive(Connection& c, const LineLimits& limits, qsizetype& pending) {
    char chunk[ChunkSize];
    const ssize_t n = ::recv(c.fd.get(), chunk, sizeof chunk, 0);
    if (n > 0 && pending + n > MaxPending) {
        logLine(QStringLiteral("unfinished lines would hold more than %1 bytes; connection dropped")
                    .arg(MaxPending));
        c.close();
        return;
    }
    if (n < 0) {
        if (tryLater())
            return;
        logLine(QStringLiteral("read failed: %1; connection dropped").arg(systemError()));
        c.close();
        return;
    }
    if (n == 0) {
        // A connection opened and closed without a word is normal; the dialog makes one.
        if (!c.in.isEmpty())
            logLine(QStringLiteral("connection closed before the end of the line"));
        c.close();
        return;
    }
    const qsizetype from = c.in.size();
    c.in.append(chunk, n);
    pending += n;
    c.deadline = std::min(Clock::now() + limits.idle, c.lineDeadline);
    const qsizetype lf = c.in.indexOf('\n', from);
    // The line may hold MaxLine bytes before its CR LF.
    if ((lf < 0 && c.in.size() > MaxLine + 1) || lf > MaxLine + 1) {
        logLine(QStringLiteral("line longer than %1 bytes; connection dropped").arg(MaxLine));
        c.close();
        return;
    }
    if (lf < 0)
        return;
    c.in.truncate(lf);
    c.phase = Phase::Queued;
    c.deadline = Clock::time_point::max(); // the earlier connections' own limits bound the wait
}

// Carries out the queued lines, in the order their connections were accepted, up to the first
// connection still reading its line.
void runQueued(std::vector<Connection>& connections, Service& service) {
    for (Connection& c : connections) {
        if (!c.open() || c.phase == Phase::Writing || c.phase == Phase::Closing)
            continue;
        if (c.phase == Phase::Reading)
            return;
        // A line ended by LF alone is answered, so that a client that frames it so learns why.
        const Outcome outcome =
            c.in.endsWith('\r') ? service.execute(c.in.chopped(1)) : lineWithoutCrLf();
        logLine(outcome.log);
        c.in = QByteArray();
        c.out = outcome.reply + "\r\n";
        c.phase = Phase::Writing;
        c.deadline = Clock::now() + WriteTime;
        sendReply(c);
    }
}

// Throws away what the client sends after its line, until it closes.
void discardRest(Connection& c) {
    char chunk[ChunkSize];
    const ssize_t n = ::recv(c.fd.get(), chunk, sizeof chunk, 0);
    if (n < 0 && tryLater())
        return;
    c.discarded += std::max<ssize_t>(n, 0);
    if (n <= 0 || c.discarded > MaxLine)
        c.close();
}

void expire(Connection& c, const LineLimits& limits, Clock::time_point now) {
    if (c.phase == Phase::Reading && now >= c.lineDeadline)
        logLine(QStringLiteral("no complete line %1 s after connecting; connection dropped")
                    .arg(limits.line.count()));
    else if (c.phase == Phase::Reading)
        logLine(QStringLiteral("no complete line after %1 s of silence; connection dropped")
                    .arg(limits.idle.count()));
    else if (c.phase == Phase::Writing)
        logLine(QStringLiteral("reply not taken within %1 s; connection dropped")
                    .arg(WriteTime.count()));
    c.close();
}

// Takes the waiting connections while there is room; returns when to accept again.
Clock::time_point acceptAll(int listener, std::vector<Connection>& connections,
                            const LineLimits& limits, Clock::time_point now) {
    auto open = static_cast<std::size_t>(std::count_if(
        connections.begin(), connections.end(), [](const Connection& c) { return c.open(); }));
    // Bounded, so that an error that does not go away cannot keep the loop here.
    for (std::size_t tries = 0; open < MaxConnections && tries < MaxConnections; ++tries) {
        Fd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.get() >= 0) {
            Connection& c = connections.emplace_back();
            c.fd = std::move(fd);
            c.lineDeadline = now + limits.line;
            c.deadline = std::min(now + limits.idle, c.lineDeadline);
            ++open;
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection stays in the queue; trying again at once would spin.
            logLine(QStringLiteral("cannot accept a connection: %1; trying again in %2 s")
                        .arg(systemError())
                        .arg(AcceptPause.count()));
            return now + AcceptPause;
        }
        // Otherwise the client gave up before it was accepted; take the next one.
    }
    return now;
}

} // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0)
        ::close(fd_);
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void logLine(const QString& text) {
    std::fprintf(stderr, "as2-standin: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

bool Server::listen(std::uint16_t port, QString& error) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        error = QStringLiteral("cannot create a socket: %1").arg(systemError());
        return false;
    }
    // Lets a restarted service take its port back at once; a port in use still fails.
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno == EADDRINUSE
                    ? QStringLiteral("port %1 on 127.0.0.1 is already in use").arg(port)
                    : QStringLiteral("cannot listen on 127.0.0.1 port %1: %2")
                          .arg(port)
                          .arg(systemError());
        return false;
    }
    socklen_t length = sizeof address;
    if (::listen(fd.get(), 64) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error =
            QStringLiteral("cannot listen on 127.0.0.1 port %1: %2").arg(port).arg(systemError());
        return false;
    }
    listener_ = std::move(fd);
    port_ = ntohs(address.sin_port);
    return true;
}

void Server::run(int signalFd, Service& service) {
    std::vector<Connection> connections;
    std::vector<pollfd> polled;
    bool stopping = false;
    Clock::time_point stopDeadline;
    Clock::time_point acceptFrom;
    bool fullLogged = false;
    for (;;) {
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const Connection& c) { return !c.open(); }),
                          connections.end());
        Clock::time_point now = Clock::now();
        if (stopping && (connections.empty() || now >= stopDeadline))
            return;
        const bool room = connections.size() < MaxConnections;
        if (!room && !fullLogged)
            logLine(QStringLiteral("%1 connections open; new ones wait until one closes")
                        .arg(MaxConnections));
        fullLogged = !room;
        const bool accepting = !stopping && room && now >= acceptFrom;

        // A negative descriptor is left out of the poll.
        polled.clear();
        polled.push_back({stopping ? -1 : signalFd, POLLIN, 0});
        polled.push_back({accepting ? listener_.get() : -1, POLLIN, 0});
        Clock::time_point wake = stopping ? stopDeadline : Clock::time_point::max();
        if (!stopping && room && !accepting)
            wake = acceptFrom;
        for (const Connection& c : connections) {
            polled.push_back({c.polledFd(), c.events(), 0});
            wake = std::min(wake, c.deadline);
        }
        const int timeout = wake == Clock::time_point::max() ? -1 : millisecondsUntil(wake, now);
        if (::poll(polled.data(), polled.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            logLine(QStringLiteral("poll failed: %1").arg(systemError()));
            return;
        }

        if (polled[0].revents & POLLIN) {
            // A line not yet complete is not carried out; a reply already due is still sent.
            stopping = true;
            stopDeadline = Clock::now() + StopTime;
            for (Connection& c : connections)
                if (c.phase == Phase::Reading)
                    c.close();
            runQueued(connections, service);
            continue;
        }

        // In the order of the poll set, which is the order of acceptance.
        qsizetype pending = 0; // the bytes of all unfinished lines
        for (const Connection& c : connections)
            pending += c.in.size();
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& c = connections[i];
            if (polled[i + 2].revents == 0)
                continue;
            if (c.phase == Phase::Reading)
                receive(c, limits_, pending);
            else if (c.phase == Phase::Writing)
                sendReply(c);
            else
                discardRest(c);
        }
        now = Clock::now();
        for (Connection& c : connections)
            if (c.open() && now >= c.deadline)
                expire(c, limits_, now);
        runQueued(connections, service);

        if (accepting && (polled[1].revents & POLLIN))
            acceptFrom = acceptAll(listener_.get(), connections, limits_, now);
    }
}

} // namespace standin
