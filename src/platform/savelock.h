#pragma once
// One save at a time across this machine's programs: a lock file named after the configuration
// file's path, in a folder root and the operator can both use. It frees itself when its holder
// ends, however that happens, and is never taken over while its holder runs. The file is never
// removed: a program waiting on it would take a lock nobody else sees.

#include <functional>
#include <memory>
#include <string>

class TSaveLock {
public:
    // Opens nothing yet.
    explicit TSaveLock(const std::string& configPath);
    ~TSaveLock(); // releases it

    // Takes the lock, noting this program's name and process in it where it can. While another
    // holds it, `whileWaiting` is called every 50 ms with what that one noted ("vantrel-link,
    // process 4711", or empty); what it raises ends the wait. EFOpenError when it cannot be used.
    void Take(const std::function<void(const std::string& holder)>& whileWaiting);
    void Release();

    // The lock file for the configuration file: services with files apart never wait on each other.
    static std::string PathFor(const std::string& configPath);

private:
    static std::string Folder();

    struct TState;
    std::unique_ptr<TState> State;
};
