#include "platform/tcpclient.h"

#include "platform/exceptions.h"

#include <cerrno>
#include <chrono>
#include <exception>

#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600 // WSAPoll, inet_pton
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
using TNativeSocket = SOCKET;
constexpr int ShutdownBoth = SD_BOTH;
constexpr int SendFlags = 0;
int PollSockets(WSAPOLLFD* fds, ULONG count, int timeoutMs) {
    return WSAPoll(fds, count, timeoutMs);
}
using TPollFd = WSAPOLLFD;
bool Interrupted() {
    return WSAGetLastError() == WSAEINTR;
}
void CloseNative(TNativeSocket s) {
    closesocket(s);
}
#else
using TNativeSocket = int;
constexpr int ShutdownBoth = SHUT_RDWR;
#ifdef MSG_NOSIGNAL
constexpr int SendFlags = MSG_NOSIGNAL;
#else
constexpr int SendFlags = 0; // SO_NOSIGPIPE is set on the socket instead
#endif
int PollSockets(pollfd* fds, nfds_t count, int timeoutMs) {
    return poll(fds, count, timeoutMs);
}
using TPollFd = pollfd;
bool Interrupted() {
    return errno == EINTR;
}
void CloseNative(TNativeSocket s) {
    close(s);
}
#endif

TNativeSocket Native(std::intptr_t handle) {
    return static_cast<TNativeSocket>(handle);
}

// Waits until the socket is readable (or writable), within timeoutMs (negative: for ever).
// Returns 1 when ready, 0 when the time passed, -1 on failure. A signal does not shorten the wait.
int WaitFor(TNativeSocket socket, short events, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        TPollFd fd{};
        fd.fd = socket;
        fd.events = events;
        const int ready = PollSockets(&fd, 1, wait);
        if (ready >= 0)
            return ready > 0 ? 1 : 0;
        if (!Interrupted())
            return -1;
    }
}

void SetSendTimeout(TNativeSocket socket, int timeoutMs) {
    if (timeoutMs <= 0)
        return;
#ifdef _WIN32
    const DWORD value = static_cast<DWORD>(timeoutMs);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value),
               sizeof value);
#else
    timeval value{};
    value.tv_sec = timeoutMs / 1000;
    value.tv_usec = (timeoutMs % 1000) * 1000;
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
#endif
}

// Connects within timeoutMs (negative: for ever). A service whose backlog is full drops the
// handshake rather than refusing it; a plain blocking connect would then wait for minutes.
bool ConnectWithin(TNativeSocket socket, const sockaddr_in& remote, int timeoutMs) {
    const auto* address = reinterpret_cast<const sockaddr*>(&remote);
    if (timeoutMs < 0) {
        int result;
        do {
            result = ::connect(socket, address, sizeof remote);
        } while (result != 0 && Interrupted());
        return result == 0;
    }
#ifdef _WIN32
    u_long nonBlocking = 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    const bool started =
        ::connect(socket, address, sizeof remote) == 0 || WSAGetLastError() == WSAEWOULDBLOCK;
#else
    const int flags = fcntl(socket, F_GETFL, 0);
    fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    const bool started =
        ::connect(socket, address, sizeof remote) == 0 || errno == EINPROGRESS || errno == EINTR;
#endif
    bool connected = false;
    if (started && WaitFor(socket, POLLOUT, timeoutMs) == 1) {
        int error = 0;
#ifdef _WIN32
        int length = sizeof error;
        getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
#else
        socklen_t length = sizeof error;
        getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length);
#endif
        connected = error == 0;
    }
#ifdef _WIN32
    nonBlocking = 0;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
#else
    fcntl(socket, F_SETFL, flags);
#endif
    return connected;
}

} // namespace

TSocketLayer::TSocketLayer() {
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw ESocketError("WSAStartup");
#endif
}

TSocketLayer::~TSocketLayer() noexcept(false) {
#ifdef _WIN32
    if (WSACleanup() != 0 && std::uncaught_exceptions() == 0)
        throw ESocketError("WSACleanup");
#endif
}

TTcpClient::~TTcpClient() {
    Close();
}

void TTcpClient::SetActive(bool active) {
    if (active)
        Open();
    else
        Close();
}

void TTcpClient::Open() {
    if (Active())
        return;
    const TNativeSocket socket = ::socket(AF_INET, SOCK_STREAM, 0);
#ifdef _WIN32
    if (socket == INVALID_SOCKET)
        return;
#else
    if (socket < 0)
        return;
#endif
    Socket = static_cast<THandle>(socket);
#if !defined(_WIN32) && !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
    const int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    SetSendTimeout(socket, TimeoutMs);

    std::uint32_t address = 0;
    std::uint16_t port = 0;
    if (!LookupHost(RemoteHost, address) || !LookupPort(RemotePort, port))
        return;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = address;
    remote.sin_port = htons(port);
    IsConnected = ConnectWithin(socket, remote, TimeoutMs);
}

void TTcpClient::Shutdown() {
    if (!IsConnected)
        return;
    ::shutdown(Native(Socket), ShutdownBoth);
    IsConnected = false;
}

void TTcpClient::Close() {
    Shutdown();
    if (!Active())
        return;
    CloseNative(Native(Socket));
    Socket = InvalidSocket;
}

long long TTcpClient::SendBuf(const void* data, std::size_t size) {
    if (!IsConnected)
        return -1;
    const char* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < size) {
        const std::size_t piece = size - sent;
#ifdef _WIN32
        const int count =
            ::send(Native(Socket), bytes + sent,
                   static_cast<int>(piece > 0x40000000 ? 0x40000000 : piece), SendFlags);
#else
        const ssize_t count = ::send(Native(Socket), bytes + sent, piece, SendFlags);
#endif
        if (count < 0 && Interrupted())
            continue;
        if (count <= 0)
            break;
        sent += static_cast<std::size_t>(count);
    }
    return static_cast<long long>(sent);
}

TReceiveResult TTcpClient::PeekBuf(void* buffer, std::size_t size) {
    return Receive(buffer, size, true);
}

TReceiveResult TTcpClient::ReceiveBuf(void* buffer, std::size_t size) {
    return Receive(buffer, size, false);
}

TReceiveResult TTcpClient::Receive(void* buffer, std::size_t size, bool peek) {
    if (!IsConnected || size == 0)
        return {TReceiveStatus::Failed, 0};
    const TNativeSocket socket = Native(Socket);
    for (;;) {
        const int ready = WaitFor(socket, POLLIN, TimeoutMs);
        if (ready == 0)
            return {TReceiveStatus::TimedOut, 0};
        if (ready < 0)
            return {TReceiveStatus::Failed, 0};
#ifdef _WIN32
        const int count =
            ::recv(socket, static_cast<char*>(buffer),
                   static_cast<int>(size > 0x40000000 ? 0x40000000 : size), peek ? MSG_PEEK : 0);
#else
        const ssize_t count = ::recv(socket, buffer, size, peek ? MSG_PEEK : 0);
#endif
        if (count > 0)
            return {TReceiveStatus::Data, static_cast<std::size_t>(count)};
        if (count == 0)
            return {TReceiveStatus::Closed, 0};
        if (!Interrupted())
            return {TReceiveStatus::Failed, 0};
    }
}

bool TTcpClient::LookupPort(const std::string& port, std::uint16_t& result) {
    if (port.empty())
        return false;
    // Service names always hold a letter, so digits alone are a number; reading them first
    // spares a scan of the services database on every connection.
    if (port.find_first_not_of("0123456789") == std::string::npos) {
        unsigned long value = 0;
        for (const char c : port) {
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 65535)
                return false;
        }
        result = static_cast<std::uint16_t>(value);
        return true;
    }
    const servent* service = getservbyname(port.c_str(), "tcp");
    if (service == nullptr)
        return false;
    result = ntohs(static_cast<std::uint16_t>(service->s_port));
    return true;
}

bool TTcpClient::LookupHost(const std::string& host, std::uint32_t& result) {
    if (host.empty())
        return false;
    if (host[0] >= '0' && host[0] <= '9') {
        in_addr address{};
        if (inet_pton(AF_INET, host.c_str(), &address) != 1)
            return false;
        result = address.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    result = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}
