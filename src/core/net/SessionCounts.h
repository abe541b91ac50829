#pragma once

#include <cstddef>

namespace knobly::sessions {

// Every session's requests in flight, whichever kind of session carries them.
inline std::size_t inFlight = 0;

// Calls off every request on device connections, as failures (SocketUrlSession.cpp).
void abortDeviceRequests();

} // namespace knobly::sessions
