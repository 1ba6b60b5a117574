#include "server.h"

#include "commands.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace standin {

namespace {

using Clock = std::chrono::steady_clock;

// Bounds on one command: a client may not hold the single connection slot for long.
constexpr qsizetype MaxLine = 64 * 1024;
constexpr std::chrono::seconds ReadTime{5};
constexpr std::chrono::seconds WriteTime{5};

int millisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The client may be gone already; that is its business, not a failure of the command.
void sendAll(int fd, const QByteArray& bytes) {
    const auto deadline = Clock::now() + WriteTime;
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent,
                                 static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            const int wait = millisecondsUntil(deadline);
            if (wait > 0 && ::poll(&p, 1, wait) > 0)
                continue;
            logLine(QStringLiteral("reply not taken within %1 s; connection dropped")
                        .arg(WriteTime.count()));
        }
        return;
    }
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
    for (;;) {
        pollfd p[2] = {{listener_.get(), POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            logLine(QStringLiteral("poll failed: %1").arg(systemError()));
            return;
        }
        if (p[1].revents & POLLIN)
            return;
        if (!(p[0].revents & POLLIN))
            continue;
        Fd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (connection.get() < 0)
            continue; // the client gave up before it was accepted
        if (serve(std::move(connection), signalFd, service) == Next::Stop)
            return;
    }
}

Server::Next Server::serve(Fd connection, int signalFd, Service& service) {
    const int fd = connection.get();
    const auto deadline = Clock::now() + ReadTime;
    QByteArray buffer;
    qsizetype end = -1;
    while (end < 0) {
        const int wait = millisecondsUntil(deadline);
        if (wait == 0) {
            logLine(QStringLiteral("no complete line within %1 s; connection dropped")
                        .arg(ReadTime.count()));
            return Next::Serve;
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        const int ready = ::poll(p, 2, wait);
        if (ready < 0 && errno != EINTR) {
            logLine(QStringLiteral("poll failed: %1").arg(systemError()));
            return Next::Serve;
        }
        if (ready > 0 && (p[1].revents & POLLIN))
            return Next::Stop;
        if (ready <= 0)
            continue;
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            logLine(QStringLiteral("read failed: %1; connection dropped").arg(systemError()));
            return Next::Serve;
        }
        if (n == 0) {
            // A connection opened and closed without a word is normal; the dialog makes one.
            if (!buffer.isEmpty())
                logLine(QStringLiteral("connection closed before the end of the line"));
            return Next::Serve;
        }
        const qsizetype from = buffer.isEmpty() ? 0 : buffer.size() - 1;
        buffer.append(chunk, n);
        end = buffer.indexOf("\r\n", from);
        if ((end < 0 && buffer.size() > MaxLine + 1) || end > MaxLine) {
            logLine(QStringLiteral("line longer than %1 bytes; connection dropped").arg(MaxLine));
            return Next::Serve;
        }
    }

    const Outcome outcome = service.execute(buffer.left(end));
    logLine(outcome.log);
    sendAll(fd, outcome.reply + "\r\n");
    ::shutdown(fd, SHUT_WR);
    // Take what else has arrived (a bounded amount), so that closing does not reset the
    // connection under the reply before the client has read it.
    char sink[4096];
    for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    return Next::Serve;
}

} // namespace standin
