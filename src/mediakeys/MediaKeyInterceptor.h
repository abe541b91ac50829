#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace knobly {

// The keys Knobly acts on, whoever delivers them (X11 grabs, the desktop portal).
enum class MediaKey { volumeUp, volumeDown, mute, playPause, next, previous };

struct KeyEvent {
    MediaKey key = MediaKey::volumeUp;
    bool down = true;
    bool repeat = false; // a press the keyboard repeats while held
    bool fine = false;   // Shift held: a volume key steps by 1
    bool operator==(const KeyEvent &) const = default;
};

// The platform's key tap: takes the media keys from the desktop and reports each of their
// events for the interceptor's decision. Main thread only.
class KeyTap {
public:
    // Returns whether the event is taken (true) or passed on (false).
    using Handler = std::function<bool(const KeyEvent &)>;

    virtual ~KeyTap() = default;
    // False when the keys cannot be had (another program holds one, or no X11 session).
    // A tap that asks the desktop first (the shortcuts portal, whose dialog the user answers)
    // returns true at once and calls `lost` if the desktop says no later.
    virtual bool enable(Handler handler) = 0;
    virtual void disable() = 0;
    // Why the last enable() failed, or why the keys were lost.
    enum class Refusal { none, keysTaken, noX11, noPortal, declined };
    virtual Refusal lastRefusal() const = 0;
    std::function<void()> lost;

    static std::unique_ptr<KeyTap> create(); // the platform's, chosen at link time
};

// Takes the volume, mute and transport keys away from the desktop while active and calls
// the matching callback on each key press. Callbacks run on the main thread.
class MediaKeyInterceptor {
public:
    std::function<void()> onVolumeUp;
    std::function<void()> onVolumeDown;
    // With Shift held; the plain callbacks serve when these are not set.
    std::function<void()> onFineVolumeUp;
    std::function<void()> onFineVolumeDown;
    std::function<void()> onMute;
    std::function<void()> onPlayPause;
    std::function<void()> onNext;
    std::function<void()> onPrev;
    // The desktop took back keys it had granted, or refused them after start() returned.
    std::function<void()> onLost;

    // The tap is the platform's (KeyTap::create()) in the program; without one nothing starts.
    explicit MediaKeyInterceptor(std::unique_ptr<KeyTap> tap);
    ~MediaKeyInterceptor();

    bool start();
    void stop();
    bool isActive() const { return isActive_; }
    KeyTap::Refusal lastRefusal() const;

    // The decision for one event: true when it is taken (a press acts), false when it goes
    // on (releases, so that nobody sees a key stuck down).
    bool handle(const KeyEvent &event);

private:
    std::unique_ptr<KeyTap> tap_;
    bool isActive_ = false;
};

} // namespace knobly
