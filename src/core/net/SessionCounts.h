#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace knobly::sessions {

// Every session's requests in flight, whichever kind of session carries them.
inline std::size_t inFlight = 0;

// A QTimer interval for a wait in seconds: whole milliseconds, never shorter than asked, at
// least one, and within what a timer takes.
inline int timerMs(double seconds) {
    const double ms = std::ceil(seconds * 1000.0);
    return ms > 2e9 ? 2000000000 : static_cast<int>(std::max(1.0, ms));
}

// Calls off every request on device connections, as failures (SocketUrlSession.cpp).
void abortDeviceRequests();

} // namespace knobly::sessions
