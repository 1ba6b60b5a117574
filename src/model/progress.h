#pragma once
// Long work with the service says what it is doing, step by step, so the window can show it and
// stay painted meanwhile.

#include <chrono>
#include <functional>
#include <string>

class TCommandHandler;

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

// Progress a face shows: the step's label, and the channel's waits watched while it lives.
class TShownProgress : public TProgress {
public:
    TShownProgress(const TShownProgress&) = delete;
    TShownProgress& operator=(const TShownProgress&) = delete;
    void Step(const std::string& what, int done, int total, TCancel cancel) final;

protected:
    static constexpr long long ProgressDelayMs = 500; // before the progress shows

    explicit TShownProgress(TCommandHandler& channel);
    ~TShownProgress() override;
    // A step calls Stepped, then Waiting, which each wait of the channel calls too.
    virtual void Stepped(TCancel cancel) = 0;
    virtual void Waiting() = 0;
    long long ElapsedMs() const;
    std::string While() const; // "while reading partnership 120 of 2,000"

    std::string What;           // "Reading partnership"
    std::string Label;          // "Reading partnership 120 of 2,000"
    long long LabelSinceMs = 0; // when Label last changed
    int Done = 0;
    int Total = 0;

private:
    TCommandHandler& Channel;
    std::function<void()> OuterHook; // the channel's wait hook before this one, given back
    const std::chrono::steady_clock::time_point Started = std::chrono::steady_clock::now();
};
