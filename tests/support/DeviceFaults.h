#pragma once

// One table of the ways a device misbehaves and what each means for a request: the client,
// the identity probe and the whole controller are each checked against it.
#include "DeviceSimulator.h"

namespace knobly::test {

struct DeviceFault {
    const char *name;
    devicesim::Fault fault;
    bool answered;        // a command completes (any HTTP status)
    bool carriedOut;      // a command is answered 200 "OK"
    bool statusDecodes;   // a status or identity answer is 200 with JSON
    bool reachesRequests; // the device sees the HTTP request at all
    bool slow;            // only a timeout ends the request
};

// clang-format off
inline constexpr DeviceFault kDeviceFaults[] = {
    {"Hang", devicesim::Fault::Hang, false, false, false, true, true},
    {"Reset", devicesim::Fault::Reset, false, false, false, true, false},
    {"PlainHttp", devicesim::Fault::PlainHttp, false, false, false, false, false},
    {"Garbage", devicesim::Fault::Garbage, false, false, false, false, false},
    {"Html404", devicesim::Fault::Html404, true, false, false, true, false},
    {"Json500", devicesim::Fault::Json500, true, false, false, true, false},
    {"WrongTypes", devicesim::Fault::WrongTypes, true, true, false, true, false},
    {"Oversize", devicesim::Fault::Oversize, false, false, false, true, false},
    {"UnknownCommands", devicesim::Fault::UnknownCommands, true, false, true, true, false},
};
// clang-format on

} // namespace knobly::test
