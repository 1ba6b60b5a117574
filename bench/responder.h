#pragma once
// A loopback service for the benchmarks: one thread that takes one connection at a time, reads one
// line and answers one line, then closes the connection.

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class TResponder {
public:
    // Given the line without its line end, the reply without its line end.
    using TAnswer = std::function<std::string(const std::string& line)>;

    explicit TResponder(TAnswer answer);
    ~TResponder();
    TResponder(const TResponder&) = delete;
    TResponder& operator=(const TResponder&) = delete;

    // The port on 127.0.0.1, in decimal.
    std::string Port() const { return std::to_string(PortNumber); }
    int PortNumber = 0;

private:
    void Serve();

    TAnswer Answer;
    int Listener = -1;
    std::atomic<bool> Stopping{false};
    std::thread Worker;
};

// The enveloped command line, as the command channel writes it, without its line end.
std::string Envelope(const std::string& command);
// The command inside an enveloped line (the line unchanged when it has no envelope).
std::string Unwrap(const std::string& line);

// A minimal client for the same round trip: connect to 127.0.0.1, one write, read through the
// first CR LF, close. Returns the reply line without its line end; throws std::runtime_error when
// the exchange fails.
std::string RawRoundTrip(int port, const std::string& request);
