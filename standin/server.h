// The command port: 127.0.0.1 only, one command per connection. Every open connection is read
// as its bytes arrive, but commands run one at a time in the order their connections were
// accepted: a command waits until every earlier connection has delivered its line or closed, so
// each command is finished before the next connection is answered, however long its line.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>

namespace standin {

class Service;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }
    int release();

private:
    int fd_;
};

// How long a client may take over its command line: a faulty or hostile one must not hold a
// connection slot, however slowly its bytes trickle in.
struct LineLimits {
    std::chrono::seconds idle{5};  // silence before the line is complete
    std::chrono::seconds line{10}; // from the connection's acceptance to its complete line
};

class Server {
public:
    explicit Server(LineLimits limits = {}) : limits_(limits) {}
    // False, with a message that names the port, when the port cannot be had.
    bool listen(std::uint16_t port, QString& error);
    std::uint16_t port() const { return port_; }
    // Serves until a signal arrives on signalFd (a signalfd for SIGINT and SIGTERM); complete
    // lines are still carried out and replies already due still sent, within a short time.
    void run(int signalFd, Service& service);

private:
    LineLimits limits_;
    Fd listener_;
    std::uint16_t port_ = 0;
};

// One line on standard error, prefixed with the program's name.
void logLine(const QString& text);

} // namespace standin
