#pragma once

#include <QString>

#include <functional>
#include <memory>

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
    // Why the last enable() failed, or why the keys were lost. heldByDesktop: the desktop's
    // own volume control has them, and takeOver() can move them to us.
    enum class Refusal { none, keysTaken, noX11, noPortal, declined, heldByDesktop };
    virtual Refusal lastRefusal() const = 0;
    // Who holds the keys after heldByDesktop, in the desktop's words.
    virtual QString holderDescription() const { return {}; }
    // Takes the keys from the desktop's volume control; enable() again then gets them.
    virtual bool takeOver() { return false; }
    // Hands keys a crashed earlier run kept back to the desktop's volume control.
    virtual void giveBack() {}
    std::function<void()> lost;

    static std::unique_ptr<KeyTap> create(); // the platform's, chosen at link time
};

} // namespace knobly
