#include "cli/console.h"

#include "platform/exceptions.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <utility>

namespace {

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
    // The line end that closes `out` ends the loop.
    std::string out = "vantrel-link: " + message + "\n";
    for (std::size_t at = out.find('\n'); at + 1 < out.size(); at = out.find('\n', at + 1))
        out.insert(at + 1, "vantrel-link: ");
    std::fputs(out.c_str(), stderr);
}

TConsole::TConsole(TCommandHandler& channel)
    : TShownProgress(channel), Terminal(::isatty(STDERR_FILENO) == 1) {
    struct sigaction action {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    for (const auto& stop : StopSignals)
        ::sigaction(stop.first, &action, nullptr);
}

TConsole::~TConsole() {
    ClearProgressLine();
}

void TConsole::Stepped(TCancel cancel) {
    // A read ends at a stop signal whatever the model offers; from the first step that changes
    // the service on, a hold keeps it until the outcome.
    Held = Held || (Holding && cancel == TCancel::NotOffered);
}

void TConsole::CheckStop() const {
    if (StopSignal != 0 && !Held) {
        throw ECancelled("Stopped by " + SignalName(StopSignal) + " " + While() +
                         "; nothing was changed");
    }
}

void TConsole::Waiting() {
    CheckStop();
    if (!Terminal) {
        // A log gets a step that stands still, once for each kind: what a run that seems stuck
        // waits for (another save, a slow service).
        if (!What.empty() && What != Logged && ElapsedMs() >= LabelSinceMs + ProgressDelayMs) {
            Logged = What;
            PrintMessage(Label);
        }
        return;
    }
    if (ElapsedMs() < ProgressDelayMs || Label.empty())
        return;
    // At most every 100 ms: a terminal that scrolls slowly must not hold up the work.
    if (ShownAtMs >= 0 && ElapsedMs() < ShownAtMs + 100)
        return;
    ShownAtMs = ElapsedMs();
    std::fprintf(stderr, "\rvantrel-link: %s\033[K", Label.c_str());
    std::fflush(stderr);
    LineShown = true;
}

void TConsole::Release() {
    ClearProgressLine();
    if (StopSignal != 0 && Held)
        PrintMessage(SignalName(StopSignal) + " arrived while the AS2 service was being changed; "
                                              "it was held until the outcome");
    if (Held)
        StopSignal = 0;
    Holding = Held = false;
}
