#pragma once

#include "KeyTap.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <vector>

namespace knobly {

// One key sequence as kglobalaccel passes it: (ai), four chords, the unused ones 0.
struct KeyChord {
    int key = 0;
    bool operator==(const KeyChord &) const = default;
};
using KeyChords = QList<KeyChord>;
QDBusArgument &operator<<(QDBusArgument &arg, const KeyChord &chord);
const QDBusArgument &operator>>(const QDBusArgument &arg, KeyChord &chord);

// KDE's global shortcut service as both key taps use it: our three actions, and Plasma's
// volume control, whose keys we take over and must give back.
namespace kglobalaccel {

struct Action {
    const char *id;
    const char *name;
    int key; // a Qt::Key, as kglobalaccel counts keys
    MediaKey mediaKey;
    const char *desktopId; // plasma-pa's action on the same key
};
constexpr int kActions = 3;
extern const std::array<Action, kActions> actions;
using PerAction = std::array<KeyChords, kActions>;

extern const QString service, path, interface, componentInterface;
// plasma-pa registers its volume keys under KMix's old component name, so users keep theirs.
extern const QString desktopVolume;
constexpr uint kSetPresent = 2, kNoAutoloading = 4, kIsDefault = 8; // setShortcutKeys' flags

// kglobalaccel names an action by [component, action, component's name, action's name].
QStringList ourId(const Action &a);
// Found by the first two alone; the names are only for registering.
QStringList desktopId(const Action &a);
bool holds(const KeyChords &keys, int key);
KeyChords keysOf(QDBusPendingCall &call);

// Plain calls on the service, each bounded by a second.
class Service {
public:
    explicit Service(QDBusConnection connection);
    QDBusConnection &connection() { return connection_; }
    // Never started on demand: outside Plasma it would grab the keys for nobody.
    bool isRunning() const;
    // The service takes calls in the order they were sent; tell() waits for no answer.
    QDBusPendingCall ask(const QString &name, const QVariantList &arguments);
    void tell(const QString &name, const QVariantList &arguments) { ask(name, arguments); }
    // For each action: [our keys, Plasma's action's keys, its defaults].
    std::vector<QDBusPendingCall> askAboutDesktop();
    // From those answers: a key of ours that Plasma's action had by default and now lacks
    // altogether was taken from there.
    static PerAction backToDesktop(std::vector<QDBusPendingCall> &answers);
    // Gives Plasma's actions in `toDesktop` these keys back; ours must be cleared before.
    void giveToDesktop(const PerAction &toDesktop);
    // After a crash: keys a run left with us go back to Plasma, unless `holding` says capture
    // went on meanwhile. `clearOurs` clears our keys first.
    void giveBackLeftovers(QObject *context, std::function<bool()> holding,
                           std::function<void()> clearOurs);
    void clearOurs();

private:
    QDBusConnection connection_;
};

} // namespace kglobalaccel
} // namespace knobly

Q_DECLARE_METATYPE(knobly::KeyChord)
