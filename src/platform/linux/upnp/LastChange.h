#pragma once

#include "DeviceEvent.h"

#include <QByteArray>

#include <optional>

namespace knobly {

// A LastChange value from the device's RenderingControl or AVTransport events: what it says
// of instance 0, after the checks a status answer gets. Malformed or oversized: nothing.
DeviceEvent decodeLastChange(const QByteArray &lastChange);

// A track's metadata (DIDL-Lite, or the JSON some firmware sends instead). Nothing when it is
// neither, or empty; an empty track when a DIDL-Lite holds no item.
std::optional<DeviceEvent::Track> decodeTrackMetaData(const QByteArray &metaData);

} // namespace knobly
