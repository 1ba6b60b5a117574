#pragma once
// What both programs need of the operating system beyond Qt. The platform's file is picked by the
// build; where there are no such signals, limits or special files, these do nothing.

#include <QFile>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Called first by both programs: a write past the file size limit then fails with its error
// instead of ending the program half-way through a file.
void PrepareProcess();

// The largest size in bytes a file this process writes may reach; the type's largest for none.
std::uint64_t FileSizeLimit();

// Opens `file` (its name set) with `mode` only where it is a regular file once links are followed;
// a FIFO or a device is refused without waiting on it. False, with why, otherwise.
bool OpenRegularFile(QFile& file, QIODevice::OpenMode mode, std::string& why);

// Calls `stop` on `context`'s event loop when SIGTERM or SIGHUP arrives (a logout, the terminal
// closed), for as long as `context` lives; the program decides what stopping means.
void WatchStopSignals(QObject* context, std::function<void()> stop);

// When standard input is a terminal: asks with `prompt` for a line that is not echoed and gives
// what was typed before its end; none when standard input is no terminal. A stop signal while it
// waits restores the terminal first.
std::optional<std::string> AskAtTerminal(const std::string& prompt);
