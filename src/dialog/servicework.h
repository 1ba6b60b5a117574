#pragma once
// The window while it waits on the service: the wait cursor, no input reaching the window, the
// window kept painted, and, when the work takes longer than half a second, a modal progress dialog
// that says what is being done, with Cancel while the work only reads. Scopes may nest: the inner
// one gives the channel's waits back to the outer one when it ends.

#include "model/progress.h"

#include <memory>

class QWidget;
class TCommandHandler;

class TServiceWork final : public TProgress {
public:
    // For as long as it lives; the channel's waits keep the window painted meanwhile.
    TServiceWork(QWidget* window, TCommandHandler& channel);
    ~TServiceWork() override;
    TServiceWork(const TServiceWork&) = delete;
    TServiceWork& operator=(const TServiceWork&) = delete;

    void Step(const std::string& what, int done, int total, TCancel cancel) override;

    // Asks the innermost open scope to stop, as its Cancel does: true when its work is at a step
    // that may be cancelled (a read), false when there is none or it must not stop (a save).
    static bool CancelRead();

    // How long the work runs before the progress dialog shows, and how often the window is let
    // paint meanwhile.
    static constexpr int ProgressDelayMs = 500;
    static constexpr int PumpEveryMs = 40;

private:
    // The event filter, the progress dialog and what it shows: Qt's side, kept out of this header.
    class TScope;
    std::unique_ptr<TScope> Scope;
};
