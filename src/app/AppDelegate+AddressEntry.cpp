// Typing a device's address: connect at once under a provisional name, then ask the device
// for its own name.
#include "AppDelegate.h"

#include "DeviceIdentity.h"
#include "MainQueue.h"
#include "Settings.h"

#include <QAction>

namespace knobly {

void AppDelegate::enterIP() {
    if (!env_.askForAddress)
        return;
    const auto answer = env_.askForAddress(Settings::ip());
    if (!answer)
        return;
    const QString ip = answer->trimmed();
    if (ip.isEmpty())
        return;
    connectToDevice(ip, QStringLiteral("WiiM (%1)").arg(ip));
    probeDeviceNameForManualIP(ip);
}

void AppDelegate::probeDeviceNameForManualIP(const QString &ip) {
    requestDeviceIdentity(withProbePort(ip), 2.0,
                          [self = weak(), ip](std::optional<DeviceIdentity> identity) {
                              if (!identity)
                                  return;
                              const QString name = !identity->ssid.isEmpty() ? identity->ssid
                                                   : !identity->project.isEmpty()
                                                       ? identity->project
                                                       : QStringLiteral("WiiM (%1)").arg(ip);
                              // The user may have picked another device meanwhile: that one
                              // keeps its name.
                              if (Settings::ip() != ip)
                                  return;
                              Settings::setDeviceName(name);
                              if (AppDelegate *d = self.get()) {
                                  d->deviceName_ = name;
                                  d->setStatusLine(name);
                              }
                          });
}

} // namespace knobly
