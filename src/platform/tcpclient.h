#pragma once
// A small blocking IPv4 TCP client on Qt Network, for a thread that does not run its event loop
// while it talks (the GUI thread, during a command). Failures are not raised: opening leaves the
// flags as far as it got, the transfers return what happened. Every wait is bounded by TimeoutMs
// and runs in slices of at most 50 ms, with WhileWaiting called between them.

#include <QDeadlineTimer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QTcpSocket;

enum class TReceiveStatus {
    Data,    // Count bytes were received (or looked at)
    Closed,  // the peer ended (or reset) the connection; nothing more will arrive
    Failed,  // no connection, or the socket failed
    TimedOut // no byte arrived in time
};

struct TReceiveResult {
    TReceiveStatus Status;
    std::size_t Count;
};

class TTcpClient {
public:
    TTcpClient();
    ~TTcpClient();

    // A dotted IPv4 address when it begins with a digit, else a name whose first IPv4 address is
    // used. The address is kept for a minute (a name's lookup costs about as much as a command on
    // loopback) and forgotten when a connection to it fails.
    std::string RemoteHost{"localhost"};
    // Digits alone: no service name is looked up.
    std::string RemotePort{"4321"};
    // The longest wait for the connection, for a byte, or for a write to make progress;
    // negative waits for ever.
    int TimeoutMs{30000};
    // Called between the slices of every wait; it must not use this client. What it throws ends
    // the wait, leaving a socket that Close() makes ready for a fresh Open().
    std::function<void()> WhileWaiting;

    bool Active() const { return IsActive; }
    bool Connected() const { return IsConnected; }

    // Creates the socket and connects unless already active; a refused connection leaves the
    // client active but not connected.
    void Open();
    // Shutdown, then closes the socket (a connection still being made, too).
    void Close();
    // Ends the connection both ways at once (unwritten bytes dropped); the socket stays.
    void Shutdown();
    // Ends the sending direction only; what the peer sends still arrives.
    void ShutdownSending();

    // Writes all the bytes; returns how many the system took, fewer when the connection failed or
    // a wait passed without progress, -1 when not connected. A gone peer never raises a signal.
    long long SendBuf(const void* data, std::size_t size);
    // Waits for at least one byte (or the end, or the deadline: TimeoutMs when none is given),
    // then copies up to size bytes; Peek leaves them in the connection, Receive consumes them.
    TReceiveResult PeekBuf(void* buffer, std::size_t size,
                           std::optional<QDeadlineTimer> deadline = std::nullopt) {
        return Receive(buffer, size, true, deadline);
    }
    TReceiveResult ReceiveBuf(void* buffer, std::size_t size,
                              std::optional<QDeadlineTimer> deadline = std::nullopt) {
        return Receive(buffer, size, false, deadline);
    }

    // The port by the rule of RemotePort; false when it names none.
    static bool LookupPort(const std::string& port, std::uint16_t& result);
    // The IPv4 address in network order by the rule of RemoteHost; false when there is none.
    static bool LookupHost(const std::string& host, std::uint32_t& result);

private:
    enum class TAwait { Connection, Bytes, Written };

    // Waits in slices until what it awaits holds (true), the connection ends or the deadline
    // passes; WhileWaiting runs between slices, and before the first when resumed.
    bool Wait(TAwait what, QDeadlineTimer deadline, bool resumed = false);
    // Makes KnownAddress that of RemoteHost, looking it up unless the kept one is still valid.
    bool Resolve();
    TReceiveResult Receive(void* buffer, std::size_t size, bool peek,
                           std::optional<QDeadlineTimer> deadline);

    std::unique_ptr<QTcpSocket> Socket; // made by the first Open
    bool IsActive{false};
    bool IsConnected{false};
    long long Taken{0}; // bytes handed to the system since the last SendBuf began
    // The last name looked up, its address (network order), and until when it is kept.
    std::string KnownHost;
    std::uint32_t KnownAddress{0};
    QDeadlineTimer KnownUntil;
};
