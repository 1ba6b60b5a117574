#pragma once
// Qt forbids an exception to cross its event loop: every handler of the dialog runs inside
// RunGuarded, which shows what it throws with the error display. Handlers run one at a time: one
// that would start while another runs (whose waits, boxes and prompts let events in) is refused,
// not run then or later.

#include <functional>

// Runs the handler unless another is running; returns whether it ran.
bool RunGuarded(const std::function<void()>& handler);

// Whether a handler is running.
bool HandlerRunning();
