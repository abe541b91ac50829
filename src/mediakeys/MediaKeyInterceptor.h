#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace knobly {

// One event as the key tap sees it, in the system-defined form: media keys are events of
// type 14, subtype 8, whose data1 carries the key code (bits 16-31), the key state (bits
// 8-15: 0x0A down, 0x0B up) and flags (bits 0-7, bit 0 a repeat).
struct SystemEvent {
    std::int64_t type = 0; // 10 key down, 14 system-defined; -1/-2 tap switched off
    std::int32_t subtype = 0;
    std::uint64_t data1 = 0;
};

// The platform's key tap: grabs the six media keys from the desktop and turns every grabbed
// key event into a SystemEvent for the interceptor's decision. Main thread only.
class KeyTap {
public:
    // Returns whether the event is dropped (true) or passed on (false).
    using Handler = std::function<bool(const SystemEvent &)>;

    virtual ~KeyTap() = default;
    // False when the keys cannot be had (another program holds one, or no X11 session).
    virtual bool enable(Handler handler) = 0;
    virtual void disable() = 0;
    // Why the last enable() failed.
    enum class Refusal { none, keysTaken, noX11 };
    virtual Refusal lastRefusal() const = 0;

    static std::unique_ptr<KeyTap> create(); // the platform's, chosen at link time
};

// Takes the volume, mute and transport keys away from the desktop while active and calls
// the matching callback on each key press. Callbacks run on the main thread.
class MediaKeyInterceptor {
public:
    std::function<void()> onVolumeUp;
    std::function<void()> onVolumeDown;
    std::function<void()> onMute;
    std::function<void()> onPlayPause;
    std::function<void()> onNext;
    std::function<void()> onPrev;

    // The tap is the platform's (KeyTap::create()) in the program; without one nothing starts.
    explicit MediaKeyInterceptor(std::unique_ptr<KeyTap> tap);
    ~MediaKeyInterceptor();

    bool start();
    void stop();
    bool isActive() const { return isActive_; }
    KeyTap::Refusal lastRefusal() const;

    // The decision for one event: nothing to drop it, the event to pass it on.
    std::optional<SystemEvent> handle(const SystemEvent &event);

private:
    std::unique_ptr<KeyTap> tap_;
    bool isActive_ = false;
};

} // namespace knobly
