#include "platform/system.h"

#include "platform/textconv.h"

#include <QFileInfo>
#include <limits>

// No signal ends a program for the size of its files here.
void PrepareProcess() {}

std::uint64_t FileSizeLimit() {
    return std::numeric_limits<std::uint64_t>::max();
}

// No open waits here on what a path names; a folder or a device is still no file to read.
bool OpenRegularFile(QFile& file, QIODevice::OpenMode mode, std::string& why) {
    if (QFileInfo::exists(file.fileName()) && !QFileInfo(file.fileName()).isFile()) {
        why = "It is not a regular file";
        return false;
    }
    if (file.open(mode))
        return true;
    why = ToStdString(file.errorString());
    return false;
}

void WatchStopSignals(QObject* /*context*/, std::function<void()> /*stop*/) {}

// No terminal is asked here; standard input is read as it comes.
std::optional<std::string> AskAtTerminal(const std::string& /*prompt*/) {
    return std::nullopt;
}
