#pragma once
// The terminal side of vantrel-link: messages on standard error, one line of progress on a
// terminal for work that takes a while, and SIGINT/SIGTERM, which end a read and wait for the
// outcome of a save.

#include "channel/cmds.h"
#include "model/progress.h"

#include <QElapsedTimer>
#include <functional>
#include <string>

// Each line of the message on standard error, after "vantrel-link: ".
void PrintMessage(const std::string& message);

class TConsole final : public TProgress {
public:
    // Catches SIGINT and SIGTERM and watches the channel's waits, for as long as it lives.
    explicit TConsole(TCommandHandler& channel);
    ~TConsole() override;
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    void Step(const std::string& what, int done, int total, TCancel cancel) override;

    // Raises ECancelled when a stop signal has arrived and no save holds it.
    void CheckStop() const;

    // While it lives, a stop signal waits for the outcome of the work (a save, the file update);
    // a signal that arrived before it stops the run first, with nothing sent.
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
    bool Held = false;
    bool Terminal = false;
};
