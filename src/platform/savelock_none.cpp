#include "platform/savelock.h"

#include "platform/exceptions.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <chrono>
#include <thread>

// Qt's lock file in the user's temporary folder keeps apart one user's saves only; it is never
// taken for stale while its holder runs, and a holder that died on this machine frees it.
struct TSaveLock::TState {
    std::string Path;
    std::unique_ptr<QLockFile> File; // while held
};

std::string TSaveLock::Folder() {
    return QFile::encodeName(QDir::tempPath()).toStdString();
}

TSaveLock::TSaveLock(const std::string& configPath) : State(std::make_unique<TState>()) {
    State->Path = PathFor(configPath);
}

TSaveLock::~TSaveLock() = default;

void TSaveLock::Take(const std::function<void(const std::string& holder)>& whileWaiting) {
    if (State->File)
        return;
    auto file = std::make_unique<QLockFile>(QFile::decodeName(State->Path.c_str()));
    file->setStaleLockTime(0);
    while (!file->tryLock(0)) {
        if (file->error() != QLockFile::LockFailedError)
            throw EFOpenError("The lock file " + State->Path +
                              ", which keeps two saves from running at once, cannot be used");
        qint64 process = 0;
        QString host;
        QString program;
        whileWaiting(file->getLockInfo(&process, &host, &program)
                         ? program.toStdString() + ", process " + std::to_string(process)
                         : std::string());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    State->File = std::move(file);
}

void TSaveLock::Release() {
    State->File.reset();
}
