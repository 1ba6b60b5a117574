#pragma once
// The one call of the TCP client that goes to the platform's socket API. Qt cannot wait for a
// connection in progress in slices: QAbstractSocket::waitForConnected gives the attempt up when
// its time runs out, and outside the event loop nothing else reports the connection made. A
// connecting socket becomes writable when its connection is made or has failed, so the client
// waits for that here and lets Qt finish the connection. It uses poll(): a system without poll()
// needs only this function written anew.

#include <QtGlobal>

// Waits up to timeoutMs (never longer) until the descriptor is writable or in error. False when
// the time passed first, when a signal cut the wait short (the caller waits again), and for a
// negative descriptor.
bool WaitUntilWritable(qintptr descriptor, int timeoutMs);
