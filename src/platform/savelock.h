#pragma once
// One save at a time across this machine's programs. The lock is a file named after the
// configuration file's path, in a folder that root and the operator can both use. It frees itself
// when its holder ends, however that happens, and it is never taken over while its holder runs,
// whoever the holder is. The file is never removed: a program waiting on it would otherwise take a
// lock nobody else sees. The platform's file is picked by the build.

#include <functional>
#include <memory>
#include <string>

class TSaveLock {
public:
    // Opens nothing yet.
    explicit TSaveLock(const std::string& configPath);
    ~TSaveLock(); // releases it
    TSaveLock(const TSaveLock&) = delete;
    TSaveLock& operator=(const TSaveLock&) = delete;

    // Takes the lock and notes this program's name and process in it where the file can be
    // written. While another program holds it, `whileWaiting` is called every 50 ms with what that
    // program noted ("vantrel-link, process 4711"; empty when nothing is noted), and what it
    // raises ends the wait without the lock. EFOpenError when the file cannot be opened or locked.
    void Take(const std::function<void(const std::string& holder)>& whileWaiting);
    void Release();

    // The lock file for the configuration file at `configPath`: one per configuration file, so
    // services that keep their files apart never wait on each other.
    static std::string PathFor(const std::string& configPath);

private:
    // The folder of the lock files, the platform's.
    static std::string Folder();

    struct TState;
    std::unique_ptr<TState> State;
};
