#pragma once

#include "MediaKeyInterceptor.h"

#include <QObject>

#include <functional>
#include <memory>

namespace knobly {

class DeviceController;

// The "Capture Media Keys" switch: what each key does, switching capture on and off (saved),
// asking before taking keys the desktop holds, and saying why capture could not start.
class MediaKeyCapture : public QObject {
    Q_OBJECT
public:
    // A warning with an optional action button: true when the action was chosen.
    using Warn =
        std::function<bool(const QString &title, const QString &text, const QString &action)>;

    MediaKeyCapture(std::unique_ptr<KeyTap> tap, DeviceController &controller, Warn warn,
                    std::function<void()> openShortcutSettings);

    MediaKeyInterceptor &interceptor() { return interceptor_; }
    bool isActive() const { return interceptor_.isActive(); }
    // At launch: capture again if it was on, else give back what an earlier run kept.
    void setup();
    void toggle();
    void stop() { interceptor_.stop(); }
    // Why capture is off, and what works instead.
    void showRefusal();

Q_SIGNALS:
    // Capture went on or off (by the user, or the desktop took the keys back).
    void activeChanged(bool on);

private:
    bool startKeys(bool ask);

    MediaKeyInterceptor interceptor_;
    Warn warn_;
    std::function<void()> openShortcutSettings_;
};

} // namespace knobly
