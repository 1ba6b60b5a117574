#include "platform/savelock.h"

#include "platform/exceptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

struct TSaveLock::TState {
    std::string Path;
    int Handle = -1; // open while held
    bool Writable = false;
};

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& why) {
    throw EFOpenError("The lock file " + path + ", which keeps two saves from running at once, " +
                      "cannot be used: " + why);
}

// Opens the lock file, made where it is missing; another user's file only for reading, which
// flock(2) needs no more. A link or anything but a regular file is refused.
int Open(const std::string& path, bool& writable) {
    int handle = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat st {};
    if (handle >= 0 && (::fstat(handle, &st) != 0 || st.st_uid != ::geteuid())) {
        ::close(handle);
        handle = -1;
        errno = EACCES;
    }
    writable = handle >= 0;
    if (handle < 0 && errno == EACCES)
        handle = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0)
        Fail(path, std::strerror(errno));
    if (::fstat(handle, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(handle);
        Fail(path, "it is not a regular file");
    }
    // Whatever the umask, the other users' programs must be able to open it to wait.
    if (writable)
        ::fchmod(handle, 0644);
    return handle;
}

// What the holder noted, as far as it is text.
std::string Holder(int handle) {
    char bytes[128];
    const ssize_t read = ::pread(handle, bytes, sizeof bytes, 0);
    std::string holder;
    for (ssize_t i = 0; i < read && bytes[i] != '\n'; ++i)
        if (static_cast<unsigned char>(bytes[i]) >= 0x20 && bytes[i] != 0x7f)
            holder += bytes[i];
    return holder;
}

} // namespace

std::string TSaveLock::Folder() {
    // Sticky and writable by everyone on Debian; elsewhere the temporary folder.
    const char* const shared = "/run/lock";
    return ::access(shared, W_OK | X_OK) == 0 ? shared
                                              : QFile::encodeName(QDir::tempPath()).toStdString();
}

TSaveLock::TSaveLock(const std::string& configPath)
    : State(std::make_unique<TState>(TState{PathFor(configPath)})) {}

TSaveLock::~TSaveLock() {
    Release();
}

void TSaveLock::Take(const std::function<void(const std::string& holder)>& whileWaiting) {
    if (State->Handle >= 0)
        return;
    bool writable = false;
    const int handle = Open(State->Path, writable);
    auto close = qScopeGuard([handle] { ::close(handle); });
    while (::flock(handle, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            Fail(State->Path, std::strerror(errno));
        whileWaiting(Holder(handle));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    close.dismiss();
    State->Handle = handle;
    State->Writable = writable;
    if (!writable)
        return;
    const std::string program =
        QCoreApplication::instance() != nullptr
            ? QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString() + ", "
            : std::string();
    const std::string note = program + "process " + std::to_string(::getpid()) + "\n";
    [[maybe_unused]] const int emptied = ::ftruncate(handle, 0);
    [[maybe_unused]] const ssize_t written = ::pwrite(handle, note.data(), note.size(), 0);
}

void TSaveLock::Release() {
    if (State->Handle < 0)
        return;
    // A later holder that cannot note itself must not be taken for this one.
    if (State->Writable) {
        [[maybe_unused]] const int emptied = ::ftruncate(State->Handle, 0);
    }
    ::close(State->Handle); // frees the lock
    State->Handle = -1;
}
