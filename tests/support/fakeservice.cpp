#include "support/fakeservice.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const std::string Prefix = "<command id=\"userID\" password=\"qxv\">";
const std::string Suffix = "</command>";

#ifdef MSG_NOSIGNAL
constexpr int SendFlags = MSG_NOSIGNAL;
#else
constexpr int SendFlags = 0;
#endif

// A TCP socket bound to 127.0.0.1 on the port (a free one for 0); its port is stored in port.
int BindLoopback(unsigned short& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("FakeService: socket");
    // A fixed port may still hold connections of an earlier service in TIME_WAIT.
    const int one = 1;
    if (port != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("FakeService: bind");
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string StripEnvelope(const std::string& line) {
    if (line.size() >= Prefix.size() + Suffix.size() &&
        line.compare(0, Prefix.size(), Prefix) == 0 &&
        line.compare(line.size() - Suffix.size(), Suffix.size(), Suffix) == 0)
        return line.substr(Prefix.size(), line.size() - Prefix.size() - Suffix.size());
    return line;
}

} // namespace

Reply Reply::Chunks(std::vector<std::string> chunks, int pauseMs, End end) {
    Reply reply;
    reply.chunks = std::move(chunks);
    reply.pauseMs = pauseMs;
    reply.end = end;
    return reply;
}

Reply Reply::Silence() {
    return Chunks({}, 0, End::Silent);
}

Reply Reply::CloseAtOnce() {
    return Chunks({}, 0, End::Abort);
}

FakeService::FakeService(Responder responder, Recording recording, unsigned short port)
    : Port(port), Respond(std::move(responder)), Recorded(recording == Recording::On) {
    Listener = BindLoopback(Port);
    int wake[2];
    if (::listen(Listener, 128) != 0 || ::pipe(wake) != 0) {
        ::close(Listener);
        throw std::runtime_error("FakeService: listen");
    }
    WakeRead = wake[0];
    WakeWrite = wake[1];
    Worker = std::thread([this] { Run(); });
}

FakeService::~FakeService() {
    const char stop = 's';
    while (::write(WakeWrite, &stop, 1) < 0 && errno == EINTR) {
    }
    Worker.join();
    ::close(Listener);
    ::close(WakeRead);
    ::close(WakeWrite);
}

std::string FakeService::port() const {
    return std::to_string(Port);
}

void FakeService::setResponder(Responder responder) {
    std::lock_guard<std::mutex> guard(Lock);
    Respond = std::move(responder);
}

std::vector<std::string> FakeService::connections() const {
    std::lock_guard<std::mutex> guard(Lock);
    return Received;
}

std::vector<std::string> FakeService::commands() const {
    std::lock_guard<std::mutex> guard(Lock);
    return Commands;
}

bool FakeService::waitForConnections(std::size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [&] { return Ended >= n; });
}

std::string FakeService::refusedPort() {
    // Bound but never listened on: nobody else can take the port, and connecting is refused.
    static unsigned short port = 0;
    static const int reserved = BindLoopback(port);
    (void)reserved;
    return std::to_string(port);
}

bool FakeService::WaitFor(int fd, short events) const {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {WakeRead, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && fds[1].revents == 0;
    }
}

bool FakeService::Pause(int ms, int connection) const {
    // A client that has closed the connection is not waited for.
    pollfd fds[2] = {{WakeRead, POLLIN, 0}, {connection, POLLIN, 0}};
    const int ready = ::poll(fds, 2, ms);
    return ready >= 0 ? fds[0].revents == 0 : errno == EINTR;
}

bool FakeService::SendAll(int connection, const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count =
            ::send(connection, bytes.data() + sent, bytes.size() - sent, SendFlags);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!WaitFor(connection, POLLOUT))
                return false;
        } else {
            return false; // the client has gone
        }
    }
    return true;
}

void FakeService::Record(std::size_t index, const char* bytes, std::size_t size) {
    if (!Recorded)
        return;
    std::lock_guard<std::mutex> guard(Lock);
    Received[index].append(bytes, size);
}

bool FakeService::waitUntilIdle(int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        // A connection whose connect() has returned is served or waits in the backlog, where it
        // makes the listener readable.
        pollfd pending{Listener, POLLIN, 0};
        if (Idle && ::poll(&pending, 1, 0) == 0)
            return true;
        if (Changed.wait_until(guard, std::min(deadline, std::chrono::steady_clock::now() +
                                                             std::chrono::milliseconds(10))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

void FakeService::Run() {
    const auto setIdle = [this](bool idle) {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Idle = idle;
        }
        Changed.notify_all();
    };
    for (;;) {
        setIdle(true);
        const bool more = WaitFor(Listener, POLLIN);
        setIdle(false);
        if (!more)
            return;
        const int connection = ::accept(Listener, nullptr, nullptr);
        if (connection >= 0)
            Serve(connection);
    }
}

void FakeService::Serve(int connection) {
    ::fcntl(connection, F_SETFL, ::fcntl(connection, F_GETFL) | O_NONBLOCK);
    std::size_t index;
    {
        std::lock_guard<std::mutex> guard(Lock);
        index = Received.size();
        if (Recorded)
            Received.emplace_back();
    }

    std::string bytes; // what this connection has sent so far
    char buffer[65536];
    bool open = true;   // the client has not ended the connection
    bool served = true; // the fixture is not stopping
    // Receives once; false when the client ended the connection.
    const auto receive = [&] {
        const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        if (count <= 0)
            return false;
        bytes.append(buffer, static_cast<std::size_t>(count));
        Record(index, buffer, static_cast<std::size_t>(count));
        return true;
    };

    while (open && bytes.find("\r\n") == std::string::npos) {
        served = WaitFor(connection, POLLIN);
        open = served && receive();
    }

    const std::size_t end = bytes.find("\r\n");
    if (served && end != std::string::npos) {
        const std::string command = StripEnvelope(bytes.substr(0, end));
        Responder respond;
        {
            std::lock_guard<std::mutex> guard(Lock);
            if (Recorded)
                Commands.push_back(command);
            respond = Respond;
        }
        Reply reply;
        try {
            if (respond)
                reply = respond(command);
        } catch (...) {
            reply = Reply::CloseAtOnce();
        }
        if (reply.end == Reply::End::Abort) {
            open = false;
        } else {
            for (std::size_t i = 0; served && i < reply.chunks.size(); ++i) {
                if (i > 0 && reply.pauseMs > 0)
                    served = Pause(reply.pauseMs, connection);
                if (served && !SendAll(connection, reply.chunks[i]))
                    break;
            }
            if (reply.end == Reply::End::Close)
                ::shutdown(connection, SHUT_WR);
            // Nothing after the line is recorded: a connection answered is done with, as the
            // service is.
            if (!Recorded && reply.end == Reply::End::Close)
                open = false;
        }
    }

    while (open && served) {
        served = WaitFor(connection, POLLIN);
        open = served && receive();
    }
    ::close(connection);
    {
        std::lock_guard<std::mutex> guard(Lock);
        ++Ended;
    }
    Changed.notify_all();
}
