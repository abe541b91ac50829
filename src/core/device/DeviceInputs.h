#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace knobly {

// One input of a model: the name switchmode takes, and what the menu says.
struct DeviceInput {
    QString mode;
    QString label;
};

// The inputs of a model by its getStatusEx "project"; models not in the table get the inputs
// every WiiM streamer has.
std::vector<DeviceInput> inputsOfModel(const QString &project);

// The input a player status "mode" means, as a switchmode name; streaming means Wi-Fi.
// Nothing for idle, multiroom and codes not known.
std::optional<QString> inputOfMode(std::int64_t mode);

// Whether a menu input is the one playing: HDMI and its ARC mode are one socket.
bool isSameInput(const QString &inputMode, const QString &playingMode);

struct DevicePreset {
    int number = 0;
    QString name;
};

// The presets of a getPresetInfo body in the device's order; nothing when the body is not
// a preset list (older devices answer "unknown command" or 404).
std::optional<std::vector<DevicePreset>> decodePresets(const QByteArray &body);

} // namespace knobly
