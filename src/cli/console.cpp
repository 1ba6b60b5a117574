#include "cli/console.h"

#include "platform/exceptions.h"

#include <QLocale>
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <utility>

namespace {

// How long work runs before its progress shows.
constexpr int ProgressDelayMs = 500;

volatile std::sig_atomic_t StopSignal = 0;
// The progress line is on the terminal; a message first takes its place.
bool LineShown = false;

void ClearProgressLine() {
    if (LineShown)
        std::fputs("\r\033[K", stderr);
    LineShown = false;
}

extern "C" void NoteStop(int signal) {
    StopSignal = signal;
}

// The signals that stop a run: Ctrl-C, a kill, the terminal closed, Ctrl-\\.
const std::pair<int, const char*> StopSignals[] = {
    {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGQUIT, "SIGQUIT"}};

std::string SignalName(int signal) {
    for (const auto& [number, name] : StopSignals)
        if (number == signal)
            return name;
    return std::to_string(signal);
}

} // namespace

void PrintMessage(const std::string& message) {
    ClearProgressLine();
    std::string out;
    std::size_t at = 0;
    while (at <= message.size()) {
        const std::size_t end = std::min(message.find('\n', at), message.size());
        out += "vantrel-link: " + message.substr(at, end - at) + "\n";
        at = end + 1;
    }
    std::fputs(out.c_str(), stderr);
}

TConsole::TConsole(TCommandHandler& channel)
    : Channel(channel), Terminal(::isatty(STDERR_FILENO) == 1) {
    Running.start();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    for (const auto& stop : StopSignals)
        ::sigaction(stop.first, &action, nullptr);
    OuterHook = Channel.SetWaitHook([this] {
        CheckStop();
        Refresh();
    });
}

TConsole::~TConsole() {
    Channel.SetWaitHook(std::move(OuterHook));
    ClearProgressLine();
}

void TConsole::Step(const std::string& what, int done, int total, TCancel cancel) {
    // A read ends at a stop signal whatever the model offers; from the first step that changes
    // the service on, a hold keeps it until the outcome.
    Held = Held || (Holding && cancel == TCancel::NotOffered);
    const QLocale locale;
    const std::string label = total > 0 ? what + " " + locale.toString(done).toStdString() +
                                              " of " + locale.toString(total).toStdString()
                                        : what;
    if (label != Label)
        LabelSinceMs = Running.elapsed();
    Label = label;
    What = what;
    CheckStop();
    Refresh();
}

void TConsole::CheckStop() const {
    if (StopSignal != 0 && !Held) {
        std::string doing = Label.empty() ? std::string("starting") : Label;
        doing[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(doing[0])));
        throw ECancelled("Stopped by " + SignalName(StopSignal) + " while " + doing +
                         "; nothing was changed");
    }
}

void TConsole::Refresh() {
    if (!Terminal) {
        // A log gets a step that stands still, once for each kind: what a run that seems stuck
        // waits for (another save, a slow service).
        if (!What.empty() && What != Logged &&
            Running.elapsed() >= LabelSinceMs + ProgressDelayMs) {
            Logged = What;
            PrintMessage(Label);
        }
        return;
    }
    if (Running.elapsed() < ProgressDelayMs || Label.empty())
        return;
    // At most every 100 ms: a terminal that scrolls slowly must not hold up the work.
    if (ShownAtMs >= 0 && Running.elapsed() < ShownAtMs + 100)
        return;
    ShownAtMs = Running.elapsed();
    std::fprintf(stderr, "\rvantrel-link: %s\033[K", Label.c_str());
    std::fflush(stderr);
    LineShown = true;
}

TConsole::THold::THold(TConsole& console) : Console(console) {
    Console.CheckStop();
    Console.Holding = true;
}

TConsole::THold::~THold() {
    const bool held = Console.Held;
    Console.Holding = Console.Held = false;
    ClearProgressLine();
    if (StopSignal != 0 && held)
        PrintMessage(SignalName(StopSignal) + " arrived while the AS2 service was being changed; "
                                              "it was held until the outcome");
    if (held)
        StopSignal = 0;
}
