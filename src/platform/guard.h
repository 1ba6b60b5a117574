#pragma once
// Qt forbids an exception to cross its event loop. Every handler of the dialog runs inside
// RunGuarded, which shows whatever it throws with the error display; the event loop goes on.
//
// Handlers run one at a time. While one runs (its waits on the service, the boxes, file dialogs
// and prompts it opens, and the display of its error, all of which let events in), a handler that
// would start, by a click, a key, an accessibility action or a queued call, is refused: it does
// not run, then or later.

#include <functional>

// Runs the handler unless another is running; returns whether it ran.
bool RunGuarded(const std::function<void()>& handler);

// Whether a handler is running.
bool HandlerRunning();
