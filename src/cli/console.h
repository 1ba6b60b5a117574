#pragma once
// The terminal side of vantrel-link: messages on standard error, a line of progress for work that
// takes a while (on a log, once for a step that stands still), and the stop signals.

#include "model/progress.h"

#include <QScopeGuard>
#include <string>

// Each line of the message on standard error, after "vantrel-link: ".
void PrintMessage(const std::string& message);

class TConsole final : public TShownProgress {
public:
    // Catches the stop signals and watches the channel's waits, for as long as it lives.
    explicit TConsole(TCommandHandler& channel);
    ~TConsole() override;

    // Raises ECancelled when a stop signal has arrived and no save holds it.
    void CheckStop() const;

    // Runs `work`: a stop signal that arrives once it changes the service (a step that offers no
    // cancel) waits for the outcome; one that arrives before stops the run.
    template <class TWork> auto Hold(TWork&& work) {
        CheckStop();
        Holding = true;
        const auto release = qScopeGuard([this] { Release(); });
        return work();
    }

private:
    void Release();
    void Stepped(TCancel cancel) override;
    void Waiting() override;

    long long ShownAtMs = -1;
    std::string Logged;   // the last What written to a log (not a terminal)
    bool Holding = false; // a hold lives
    bool Held = false;    // ... and the service is being changed
    bool Terminal = false;
};
