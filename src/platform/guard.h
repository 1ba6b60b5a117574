#pragma once
// Qt forbids an exception to cross its event loop. Every handler of the dialog runs inside
// RunGuarded, which shows whatever it throws with the error display; the event loop goes on.

#include <functional>

void RunGuarded(const std::function<void()>& handler);
