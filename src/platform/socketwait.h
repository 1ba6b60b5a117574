#pragma once
// The calls of the TCP client that go to the platform's socket API. Qt cannot wait for a
// connection in progress in slices: QAbstractSocket::waitForConnected gives the attempt up when
// its time runs out, and outside the event loop nothing else reports the connection made. A
// connecting socket becomes writable when its connection is made or has failed, so the client
// waits for that here and lets Qt finish the connection. It uses poll(): a system without poll()
// needs only this function written anew. Nor can Qt end one direction of a connection: a service
// that serves one connection at a time learns from it that the client has said all it will.

#include <QtGlobal>

// Waits up to timeoutMs (never longer) until the descriptor is writable or in error. False when
// the time passed first, when a signal cut the wait short (the caller waits again), and for a
// negative descriptor.
bool WaitUntilWritable(qintptr descriptor, int timeoutMs);

// Ends the sending direction of the connection; what the peer sends still arrives.
void ShutdownSending(qintptr descriptor);
