#pragma once
// StalledPort: a loopback port whose listener never accepts, for the waits that must end at the
// client's time limit. The system completes connections to it into the listener's backlog, where
// nobody reads them: a long enough write to one is never taken whole. With its backlog full, a
// further connection is never answered at all.

#include <string>
#include <vector>

class StalledPort {
public:
    enum class Backlog { Free, Full };

    explicit StalledPort(Backlog backlog);
    ~StalledPort();
    StalledPort(const StalledPort&) = delete;
    StalledPort& operator=(const StalledPort&) = delete;

    // The port on 127.0.0.1, as the command channel takes it.
    std::string port() const;

private:
    void Release();

    int Listener = -1;
    std::vector<int> Fillers; // the connections that fill the backlog
    unsigned short Port = 0;
};
