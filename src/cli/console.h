#pragma once
// The terminal side of vantrel-link: messages on standard error, a line of progress for work that
// takes a while (on a log, once for a step that stands still), and the stop signals.

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
    // offers no cancel) waits for the outcome; one that arrives before stops the run.
    class THold {
    public:
        explicit THold(TConsole& console);
        ~THold();
        THold(const THold&) = delete;
        THold& operator=(const THold&) = delete;

    private:
        TConsole& Console;
    };

private:
    void Refresh();

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
