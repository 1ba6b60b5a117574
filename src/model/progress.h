#pragma once
// Long work with the service says what it is doing, step by step, so the window can show it and
// stay painted meanwhile.

#include <string>

class TProgress {
public:
    virtual ~TProgress() = default;

    // A read may be stopped, a save once begun never is.
    enum class TCancel { Offered, NotOffered };

    // At step `done` of `total` (0: not known) of `what`. Where Cancel is offered and taken, this
    // raises ECancelled, as may the channel's waits that follow.
    virtual void Step(const std::string& what, int done, int total, TCancel cancel) = 0;

    // Progress that nobody watches.
    static TProgress& None() {
        class TUnwatched final : public TProgress {
            void Step(const std::string&, int, int, TCancel) override {}
        };
        static TUnwatched unwatched;
        return unwatched;
    }
};
