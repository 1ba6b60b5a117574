#pragma once
// FakeService: a scripted stand-in for the AS2 service's command port, in the test process.
//
// It listens on 127.0.0.1 on a free port and serves one connection at a time, in the order they
// arrive, on a background thread:
//
//   1. It reads until the connection holds a CR LF (or the client ends it). Every byte received on
//      the connection, before and after the line, is recorded: connections() gives them, one byte
//      string per connection, also for connections that sent nothing.
//   2. For a complete line it strips the envelope <command id="userID" password="qxv"> ...
//      </command> (a line without that envelope is passed whole), records the command
//      (commands()), and asks the responder for the Reply.
//   3. It writes the Reply's chunks in order (pausing between them when asked), then, by the
//      Reply's end: closes its sending side (Close), or keeps silent (Silent); either way it goes
//      on recording until the client closes. Abort closes the connection at once, writing nothing.
//   4. The connection then counts as ended (waitForConnections) and the next one is served.
//
// The client closes a connection only when its next command begins (or when it is destroyed), so
// a test waits with waitForConnections or waitUntilIdle after destroying or closing the client.
//
// The responder runs on the fixture's thread; it may keep state of its own (a small in-memory
// service) but must not throw: a responder that throws aborts that connection. Without a
// responder every command is answered with Reply() (nothing written, then close).
// All member functions are thread-safe; the destructor stops the thread and closes every socket.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Reply {
    enum class End {
        Close,  // after the chunks, close the sending side
        Silent, // after the chunks, send nothing more and hold the connection open
        Abort   // close the connection at once, writing nothing
    };

    // Nothing written, then close.
    Reply() = default;
    // The common case: one reply line; CR LF is appended.
    Reply(const std::string& line) : chunks{line + "\r\n"} {}
    Reply(const char* line) : Reply(std::string(line)) {}

    // Exactly these bytes, one write per chunk, pauseMs between writes.
    static Reply Chunks(std::vector<std::string> chunks, int pauseMs = 0, End end = End::Close);
    // Reads the command, then holds the connection open without writing anything.
    static Reply Silence();
    // Reads the command, then closes the connection without writing anything.
    static Reply CloseAtOnce();

    std::vector<std::string> chunks;
    int pauseMs = 0;
    End end = End::Close;
};

class FakeService {
public:
    using Responder = std::function<Reply(const std::string& command)>;

    static constexpr const char* host = "127.0.0.1";

    // Off: nothing is recorded (connections() and commands() stay empty) and a connection that
    // was answered and closed is done with at once, so a benchmark's thousands of round trips
    // cost no memory and no wait for the client.
    enum class Recording { On, Off };

    // On a free port, or on the port given (a program's fixed one).
    explicit FakeService(Responder responder = {}, Recording recording = Recording::On,
                         unsigned short port = 0);
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    // The port it listens on, as the command channel takes it.
    std::string port() const;
    void setResponder(Responder responder);

    // The bytes received on each connection so far, in the order of the connections.
    std::vector<std::string> connections() const;
    // The command of each connection that sent a complete line, envelope and CR LF stripped.
    std::vector<std::string> commands() const;
    // Waits until n connections have ended; false when timeoutMs passed first.
    bool waitForConnections(std::size_t n, int timeoutMs = 5000) const;
    // Waits until every connection made so far has been served and has ended; false when
    // timeoutMs passed first.
    bool waitUntilIdle(int timeoutMs = 5000) const;

    // A loopback port on which nobody listens (a port kept bound, never listened on, for the
    // whole test process, so a connection to it is refused).
    static std::string refusedPort();

private:
    void Run();
    void Serve(int connection);
    // Waits until fd is readable (or writable); false when the fixture is stopping.
    bool WaitFor(int fd, short events) const;
    // Waits ms, or until the client sends more or closes; false when the fixture is stopping.
    bool Pause(int ms, int connection) const;
    bool SendAll(int connection, const std::string& bytes) const;
    void Record(std::size_t index, const char* bytes, std::size_t size);

    int Listener = -1;
    int WakeRead = -1;
    int WakeWrite = -1;
    unsigned short Port = 0;

    mutable std::mutex Lock;
    mutable std::condition_variable Changed;
    Responder Respond;
    const bool Recorded;
    std::vector<std::string> Received;
    std::vector<std::string> Commands;
    std::size_t Ended = 0;
    bool Idle = false; // waiting for the next connection

    std::thread Worker;
};
