#include "support/stalledport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

StalledPort::StalledPort(Backlog backlog) {
    Listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (Listener < 0 ||
        ::bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(Listener, backlog == Backlog::Full ? 0 : 16) != 0 ||
        ::getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (Listener >= 0)
            ::close(Listener);
        throw std::runtime_error("StalledPort: cannot listen");
    }
    Port = ntohs(address.sin_port);
    if (backlog == Backlog::Free)
        return;
    // Connect until one connection is left unanswered: the backlog is then full.
    for (int i = 0; i < 64; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (filler < 0)
            break;
        Fillers.push_back(filler);
        ::fcntl(filler, F_SETFL, ::fcntl(filler, F_GETFL) | O_NONBLOCK);
        ::connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        pollfd connected{filler, POLLOUT, 0};
        if (::poll(&connected, 1, 200) == 0)
            return;
    }
    Release();
    throw std::runtime_error("StalledPort: the backlog does not fill");
}

StalledPort::~StalledPort() {
    Release();
}

void StalledPort::Release() {
    for (const int filler : Fillers)
        ::close(filler);
    Fillers.clear();
    if (Listener >= 0)
        ::close(Listener);
    Listener = -1;
}

std::string StalledPort::port() const {
    return std::to_string(Port);
}
