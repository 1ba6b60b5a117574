#pragma once
// A small blocking IPv4 TCP client on Qt Network, for a thread that does not run its event loop
// while it talks (the GUI thread, during a command).
//
// It keeps at most one connection: a socket (the client is then active) that may be connected.
// Nothing here reports a failure by exception: opening leaves the flags as far as it got, and the
// transfer operations return what happened. Every wait is bounded by TimeoutMs and runs in slices
// of at most 50 ms, with WhileWaiting called between them.

#include <QDeadlineTimer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QTcpSocket;

enum class TReceiveStatus {
    Data,    // Count bytes were received (or looked at)
    Closed,  // the peer ended (or reset) the connection; nothing more will arrive
    Failed,  // no connection, or the socket failed
    TimedOut // no byte arrived within TimeoutMs
};

struct TReceiveResult {
    TReceiveStatus Status;
    std::size_t Count;
};

class TTcpClient {
public:
    TTcpClient();
    ~TTcpClient();
    TTcpClient(const TTcpClient&) = delete;
    TTcpClient& operator=(const TTcpClient&) = delete;

    // A host that begins with a digit is a dotted IPv4 address (four decimal numbers of 0 to 255);
    // any other is looked up by name and its first IPv4 address is used. The client keeps a name's
    // address for a minute: a lookup asks the system for its network interfaces and reads the
    // hosts file, which costs about as much as a whole command on loopback. A connection that
    // cannot be made forgets it.
    std::string RemoteHost{"localhost"};
    // Digits alone, read as a number. A service name ("http") is refused: neither Qt nor standard
    // C++ looks one up portably.
    std::string RemotePort{"4321"};
    // The longest wait for the connection to be made, for a byte to arrive, or for a write to make
    // progress; negative waits for ever.
    int TimeoutMs{30000};

    // When set, called between the slices of every wait (connecting, writing, reading), so the
    // caller can keep a window alive or give up. It must not use this client. It may throw: the
    // wait then ends by that exception, and the client is left with its socket open (connecting,
    // connected, or with bytes not yet written) in a state where Close() is safe; Open() after
    // Close() starts afresh.
    std::function<void()> WhileWaiting;

    bool Active() const { return IsActive; }
    bool Connected() const { return IsConnected; }

    // Open: create the socket, resolve RemoteHost and RemotePort, connect. Does nothing when
    // already active. A refused connection leaves the client active but not connected.
    // Close: Shutdown, then close the socket (a connection still being made, too).
    void SetActive(bool active);
    void Open();
    void Close();
    // Ends the connection in both directions at once (bytes not yet written are dropped) and
    // clears the connected flag; the socket stays.
    void Shutdown();
    // Ends the sending direction only: the peer reads the end of what was sent, and what it sends
    // can still be received.
    void ShutdownSending();

    // Writes all of the bytes, as one write of the caller's; returns how many were taken, fewer
    // than size when the connection failed or the time limit passed without progress, -1 when not
    // connected. A peer that has gone never raises a signal.
    long long SendBuf(const void* data, std::size_t size);
    // Waits until at least one byte has arrived (or the connection ended, or the time limit
    // passed), then copies up to size bytes into buffer. PeekBuf leaves them in the connection,
    // ReceiveBuf consumes them.
    TReceiveResult PeekBuf(void* buffer, std::size_t size);
    TReceiveResult ReceiveBuf(void* buffer, std::size_t size);
    // The same, waiting no longer than the deadline (a reply's, say) instead of TimeoutMs.
    TReceiveResult PeekBuf(void* buffer, std::size_t size, QDeadlineTimer deadline);
    TReceiveResult ReceiveBuf(void* buffer, std::size_t size, QDeadlineTimer deadline);

    // The port, by the rule of RemotePort; false when it names no port.
    static bool LookupPort(const std::string& port, std::uint16_t& result);
    // The IPv4 address in network order, by the rule of RemoteHost; false when there is none.
    static bool LookupHost(const std::string& host, std::uint32_t& result);

private:
    enum class TAwait {
        Connection, // the connection is made
        Bytes,      // a byte is there to read
        Written     // the write buffer is empty
    };

    QDeadlineTimer Deadline() const;
    // The one place the client waits: in slices of at most 50 ms until what it awaits holds, the
    // connection ends or the deadline passes, calling WhileWaiting between slices (and before the
    // first when resumed, i.e. a slice has passed already). True when what it awaits holds.
    bool Wait(TAwait what, QDeadlineTimer deadline, bool resumed = false);
    bool Holds(TAwait what) const;
    // The address (network order) by the rule of RemoteHost, the kept one while it is valid.
    bool Resolve(std::uint32_t& address);
    TReceiveResult Receive(void* buffer, std::size_t size, bool peek, QDeadlineTimer deadline);

    std::unique_ptr<QTcpSocket> Socket; // made by the first Open
    bool IsActive{false};
    bool IsConnected{false};
    // Bytes the socket has handed to the system since the last SendBuf began.
    long long Taken{0};
    // The last name looked up, its address (network order), and until when it is kept.
    std::string KnownHost;
    std::uint32_t KnownAddress{0};
    QDeadlineTimer KnownUntil;
};
