#include "rawclient.h"

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
