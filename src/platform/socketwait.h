#pragma once
// What the TCP client needs of the platform's socket API beyond Qt. Qt's waitForConnected gives a
// connection attempt up when its time runs out, and outside the event loop nothing else reports it
// made; a connecting socket turns writable once its connection is made or has failed. Nor can Qt
// end one direction of a connection, which tells a service that serves one connection at a time
// that the client has said all it will.

#include <QtGlobal>

// Waits up to timeoutMs until the descriptor is writable or in error; false when the time passed,
// a signal cut the wait short (the caller waits again), or the descriptor is negative.
bool WaitUntilWritable(qintptr descriptor, int timeoutMs);

// Ends the sending direction of the connection; what the peer sends still arrives.
void ShutdownSending(qintptr descriptor);
