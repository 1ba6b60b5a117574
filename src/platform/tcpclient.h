#pragma once
// A small blocking IPv4 TCP client over BSD sockets (Winsock under _WIN32).
//
// It keeps at most one connection: a socket (the client is then active) that may be connected.
// Nothing here reports a failure by exception: opening leaves the flags as far as it got, and the
// transfer operations return what happened. Waiting for bytes is bounded by TimeoutMs.

#include <cstddef>
#include <cstdint>
#include <string>

// The socket layer of the platform. Under _WIN32 its construction runs WSAStartup and its
// destruction WSACleanup, each raising ESocketError ("WSAStartup", "WSACleanup") when it fails;
// elsewhere it does nothing. The program holds one for its whole run.
class TSocketLayer {
public:
    TSocketLayer();
    ~TSocketLayer() noexcept(false);
    TSocketLayer(const TSocketLayer&) = delete;
    TSocketLayer& operator=(const TSocketLayer&) = delete;
};

enum class TReceiveStatus {
    Data,    // Count bytes were received (or looked at)
    Closed,  // the peer ended the connection; nothing more will arrive
    Failed,  // no connection, or the socket failed
    TimedOut // no byte arrived within TimeoutMs
};

struct TReceiveResult {
    TReceiveStatus Status;
    std::size_t Count;
};

class TTcpClient {
public:
    TTcpClient() = default;
    ~TTcpClient();
    TTcpClient(const TTcpClient&) = delete;
    TTcpClient& operator=(const TTcpClient&) = delete;

    // A host that begins with a digit is a dotted IPv4 address; any other is looked up by name
    // and its first IPv4 address is used.
    std::string RemoteHost{"localhost"};
    // Digits alone are read as a number; any other text is looked up as a TCP service name.
    std::string RemotePort{"4321"};
    // The longest wait for a byte to arrive, or for a send to be taken (taken into the socket when
    // it is opened); negative waits for ever.
    int TimeoutMs{30000};

    bool Active() const { return Socket != InvalidSocket; }
    bool Connected() const { return IsConnected; }

    // Open: create the socket, resolve RemoteHost and RemotePort, connect. Does nothing when
    // already active. A refused connection leaves the client active but not connected.
    // Close: Shutdown, then close the socket.
    void SetActive(bool active);
    void Open();
    void Close();
    // Ends the connection in both directions and clears the connected flag; the socket stays.
    void Shutdown();

    // Writes all of the bytes, as one write of the caller's; returns how many were taken, fewer
    // than size when the connection failed or the time limit passed, -1 when not connected.
    // A peer that has gone never raises a signal.
    long long SendBuf(const void* data, std::size_t size);
    // Waits until at least one byte has arrived (or the connection ended, or the time limit
    // passed), then copies up to size bytes into buffer. PeekBuf leaves them in the connection,
    // ReceiveBuf consumes them.
    TReceiveResult PeekBuf(void* buffer, std::size_t size);
    TReceiveResult ReceiveBuf(void* buffer, std::size_t size);

    // The port in host order, by the rule of RemotePort; false when it names no port.
    static bool LookupPort(const std::string& port, std::uint16_t& result);
    // The IPv4 address in network order, by the rule of RemoteHost; false when there is none.
    static bool LookupHost(const std::string& host, std::uint32_t& result);

private:
    using THandle = std::intptr_t;
    static constexpr THandle InvalidSocket = -1;

    TReceiveResult Receive(void* buffer, std::size_t size, bool peek);

    THandle Socket{InvalidSocket};
    bool IsConnected{false};
};
