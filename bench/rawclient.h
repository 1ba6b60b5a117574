#pragma once
// The floor the command channel is measured against: a minimal client for the same round trip.

#include <string>

// Connects to 127.0.0.1, writes the request once, reads through the first CR LF and closes.
// Returns the reply line without its line end; throws std::runtime_error when the exchange fails.
std::string RawRoundTrip(int port, const std::string& request);
