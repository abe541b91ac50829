#pragma once

#include <QString>

#include <cstdint>

namespace knobly {

// The values that outlive a run, kept in ~/.config/Knobly/Knobly.conf. Every read goes
// to the store and every write goes straight to it; nothing is cached here.
class Settings {
public:
    Settings() = delete;

    static QString ip(); // "" when no device was chosen
    static void setIp(const QString &ip);
    static QString deviceName(); // "WiiM" when never saved
    static void setDeviceName(const QString &name);
    static std::int64_t volumeStep(); // 3 unless a positive step was saved
    static void setVolumeStep(std::int64_t step);
    // The highest volume Knobly sets: 100 unless a whole number from 1 to 100 was saved.
    static std::int64_t maxVolume();
    static void setMaxVolume(std::int64_t limit);
    // The chosen device's own id, to find it again at another address; "" when unknown.
    static QString deviceUuid();
    static void setDeviceUuid(const QString &uuid);
    static bool interceptKeys(); // false when never saved
    static void setInterceptKeys(bool on);
    // A leader's volume changes move its whole group: true unless turned off.
    static bool groupVolume();
    static void setGroupVolume(bool on);
};

} // namespace knobly
