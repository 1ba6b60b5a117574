#include "platform/system.h"

#include "platform/textconv.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

void PrepareProcess() {
    std::signal(SIGXFSZ, SIG_IGN);
}

std::uint64_t FileSizeLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

bool OpenRegularFile(QFile& file, QIODevice::OpenMode mode, std::string& why) {
    const QByteArray path = QFile::encodeName(file.fileName());
    // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever and past SIGTERM.
    const int flags = (mode & QIODevice::WriteOnly) ? O_RDWR : O_RDONLY;
    const int fd = ::open(path.constData(), flags | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const char* kind = S_ISREG(st.st_mode)    ? nullptr
                       : S_ISDIR(st.st_mode)  ? ""
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "something else";
    if (kind != nullptr) {
        ::close(fd);
        why = *kind == '\0' ? std::strerror(EISDIR)
                            : std::string("It is ") + kind + ", not a regular file";
        return false;
    }
    // Reads and writes of a regular file wait as they always do.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        why = ToStdString(file.errorString());
        ::close(fd);
        return false;
    }
    return true;
}

namespace {

// The signal handler only writes a byte; the event loop reads it.
int StopPipe[2] = {-1, -1};

extern "C" void NoteStopSignal(int /*signal*/) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(StopPipe[0], &byte, 1);
}

volatile std::sig_atomic_t AskStopped = 0;
extern "C" void NoteAskStopped(int signal) {
    AskStopped = signal;
}

} // namespace

void WatchStopSignals(QObject* context, std::function<void()> stop) {
    if (StopPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, StopPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(StopPipe[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [stop = std::move(stop)] {
        char byte = 0;
        [[maybe_unused]] const ssize_t read = ::read(StopPipe[1], &byte, 1);
        stop();
    });
    struct sigaction action {};
    action.sa_handler = NoteStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

std::optional<std::string> AskAtTerminal(const std::string& prompt) {
    termios shown{};
    if (::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &shown) != 0)
        return std::nullopt;
    const int tty = ::open("/dev/tty", O_WRONLY | O_CLOEXEC);
    const int out = tty >= 0 ? tty : STDERR_FILENO;
    // A stop signal interrupts the read instead of ending the program with echo off.
    const int stops[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction note {
    }, before[4];
    note.sa_handler = NoteAskStopped;
    sigemptyset(&note.sa_mask);
    for (int i = 0; i < 4; ++i)
        ::sigaction(stops[i], &note, &before[i]);
    termios hidden = shown;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden); // drops only what was typed before the prompt
    [[maybe_unused]] const ssize_t asked = ::write(out, prompt.data(), prompt.size());
    std::string typed;
    char c = 0;
    while (AskStopped == 0 && ::read(STDIN_FILENO, &c, 1) == 1 && c != '\n')
        typed += c;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &shown);
    [[maybe_unused]] const ssize_t ended = ::write(out, "\n", 1);
    if (tty >= 0)
        ::close(tty);
    for (int i = 0; i < 4; ++i)
        ::sigaction(stops[i], &before[i], nullptr);
    if (AskStopped != 0)
        ::raise(AskStopped);
    return typed;
}
