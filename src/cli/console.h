#pragma once
// The terminal side of vantrel-link: messages on standard error, one line of progress on a
// terminal for work that takes a while (a line of the log for a step that stands still), and the
// stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT), which end a read and wait for the outcome of a
// change to the service.

#include "channel/cmds.h"
#include "model/progress.h"

#include <QElapsedTimer>
#include <functional>
#include <string>

// Each line of the message on standard error, after "vantrel-link: ".
void PrintMessage(const std::string& message);

class TConsole final : public TProgress {
public:
    // Catches the stop signals and watches the channel's waits, for as long as it lives.
    explicit TConsole(TCommandHandler& channel);
    ~TConsole() override;
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    void Step(const std::string& what, int done, int total, TCancel cancel) override;

    // Raises ECancelled when a stop signal has arrived and no save holds it.
    void CheckStop() const;

    // While it lives, a stop signal that arrives once the work changes the service (a step that
    // offers no cancel: a save, an import, the file update) waits for the outcome; one that
    // arrives before stops the run, with nothing sent.
    class THold {
    public:
        explicit THold(TConsole& console);
        ~THold();
        THold(const THold&) = delete;
        THold& operator=(const THold&) = delete;

    private:
        TConsole& Console;
    };

    // How long work runs before its progress shows on a terminal.
    static constexpr int ProgressDelayMs = 500;

private:
    void Refresh();
    void ClearLine();

    TCommandHandler& Channel;
    std::function<void()> OuterHook; // the channel's wait hook before this one, given back
    QElapsedTimer Running;
    qint64 ShownAtMs = -1;
    std::string Label;
    qint64 LabelSinceMs = 0; // when Label was last changed
    std::string What;        // Label without its count
    std::string Logged;      // the last What written to a log (not a terminal)
    bool Holding = false;    // a hold lives
    bool Held = false;       // ... and the service is being changed
    bool Terminal = false;
};
