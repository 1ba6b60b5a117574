#include "responder.h"

#include "channel/cmds.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

bool SendAll(int socket, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count =
            ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

} // namespace

TResponder::TResponder(TAnswer answer) : Answer(std::move(answer)) {
    Listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (Listener < 0)
        throw std::runtime_error("responder: no socket");
    const int on = 1;
    setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (::bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(Listener, 128) != 0 ||
        getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(Listener);
        throw std::runtime_error("responder: cannot listen");
    }
    PortNumber = ntohs(address.sin_port);
    Worker = std::thread([this] { Serve(); });
}

TResponder::~TResponder() {
    Stopping = true;
    // Wakes the accept the worker waits in.
    ::shutdown(Listener, SHUT_RDWR);
    Worker.join();
    ::close(Listener);
}

void TResponder::Serve() {
    std::string line;
    char buffer[4096];
    while (!Stopping) {
        const int connection = ::accept(Listener, nullptr, nullptr);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        line.clear();
        bool complete = false;
        for (;;) {
            const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break; // the client left without a line (as the unused first connection does)
            line.append(buffer, static_cast<std::size_t>(count));
            const std::size_t end = line.find('\n');
            if (end != std::string::npos) {
                line.resize(end > 0 && line[end - 1] == '\r' ? end - 1 : end);
                complete = true;
                break;
            }
        }
        if (complete)
            SendAll(connection, Answer(line) + "\r\n");
        ::close(connection);
    }
}

std::string Envelope(const std::string& command) {
    return CommandPrefix + command + CommandSuffix;
}

std::string Unwrap(const std::string& line) {
    const std::string prefix = CommandPrefix;
    const std::string suffix = CommandSuffix;
    if (line.size() < prefix.size() + suffix.size() ||
        line.compare(0, prefix.size(), prefix) != 0 ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0)
        return line;
    return line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
}

std::string RawRoundTrip(int port, const std::string& request) {
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket < 0)
        throw std::runtime_error("raw client: no socket");
    const sockaddr_in address = Loopback(port);
    std::string reply;
    bool complete = false;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        SendAll(socket, request)) {
        char buffer[4096];
        for (;;) {
            const ssize_t count = ::recv(socket, buffer, sizeof buffer, 0);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break;
            reply.append(buffer, static_cast<std::size_t>(count));
            const std::size_t end = reply.find("\r\n");
            if (end != std::string::npos) {
                reply.resize(end);
                complete = true;
                break;
            }
        }
    }
    ::close(socket);
    if (!complete)
        throw std::runtime_error("raw client: no reply line");
    return reply;
}
