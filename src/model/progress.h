#pragma once
// Long work with the service says what it is doing, step by step, so the window can show it and
// stay painted meanwhile.

#include <string>

class TProgress {
public:
    virtual ~TProgress() = default;

    // The work is at step `done` of `total` (0 when not known) of what `what` says. While it
    // reads (mayCancel), the operator may cancel it: this then raises ECancelled, as may the
    // channel's waits that follow; a save once begun is never cancelled half-way.
    virtual void Step(const std::string& what, int done, int total, bool mayCancel) = 0;

    // Progress that nobody watches.
    static TProgress& None();
};
