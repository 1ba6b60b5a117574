#pragma once
// Long work with the service says what it is doing, step by step, so the window can show it and
// stay painted meanwhile.

#include <string>

class TProgress {
public:
    virtual ~TProgress() = default;

    // Whether the operator may stop the work at this step: a read may be stopped, a save once
    // begun never is.
    enum class TCancel { Offered, NotOffered };

    // The work is at step `done` of `total` (0 when not known) of what `what` says. Where Cancel
    // is offered and the operator takes it, this raises ECancelled, as may the channel's waits
    // that follow.
    virtual void Step(const std::string& what, int done, int total, TCancel cancel) = 0;

    // Progress that nobody watches.
    static TProgress& None();
};
