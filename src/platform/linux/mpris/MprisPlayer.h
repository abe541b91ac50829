#pragma once

#include "MediaControls.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace knobly {

// The device as an MPRIS2 media player on the session bus, so that the desktop's media keys,
// its media widgets, KDE Connect and playerctl see and drive it.
class MprisPlayer final : public QObject, public MediaControls {
    Q_OBJECT
public:
    static constexpr const char *serviceName = "org.mpris.MediaPlayer2.knobly";
    static constexpr const char *objectPath = "/org/mpris/MediaPlayer2";

    explicit MprisPlayer(Commands commands,
                         QDBusConnection connection = QDBusConnection::sessionBus());
    ~MprisPlayer() override;

    void setState(const State &state) override;
    bool isRegistered() const { return registered_; }

    // Read by the two interfaces.
    const State &state() const { return state_; }
    const Commands &commands() const { return commands_; }
    QDBusConnection &connection() { return connection_; }
    QVariantMap playerProperties() const;
    QVariantMap metadata() const;

private:
    QDBusConnection connection_;
    Commands commands_;
    State state_;
    quint64 track_ = 0; // a new number whenever the track changes
    bool registered_ = false;
};

class MprisRoot final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ no)
    Q_PROPERTY(bool HasTrackList READ no)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ none)
    Q_PROPERTY(QStringList SupportedMimeTypes READ none)
public:
    explicit MprisRoot(MprisPlayer *player) : QDBusAbstractAdaptor(player), player_(player) {}
    bool no() const { return false; }
    bool canQuit() const { return bool(player_->commands().quit); }
    QString identity() const { return player_->state().identity; }
    QString desktopEntry() const;
    QStringList none() const { return {}; }

public Q_SLOTS:
    void Raise() {}
    void Quit();

private:
    MprisPlayer *player_;
};

class MprisPlayerInterface final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ one)
    Q_PROPERTY(double MinimumRate READ one)
    Q_PROPERTY(double MaximumRate READ one)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanGoNext READ canControl)
    Q_PROPERTY(bool CanGoPrevious READ canControl)
    Q_PROPERTY(bool CanPlay READ canControl)
    Q_PROPERTY(bool CanPause READ canControl)
    Q_PROPERTY(bool CanSeek READ no)
    Q_PROPERTY(bool CanControl READ canControl)
public:
    explicit MprisPlayerInterface(MprisPlayer *player)
        : QDBusAbstractAdaptor(player), player_(player) {}
    QString playbackStatus() const;
    double one() const { return 1.0; }
    QVariantMap metadata() const { return player_->metadata(); }
    double volume() const { return player_->state().volume; }
    void setVolume(double volume);
    qlonglong position() const { return player_->state().positionUs; }
    bool canControl() const { return player_->state().reachable; }
    bool no() const { return false; }

public Q_SLOTS:
    void Next() { call(player_->commands().next); }
    void Previous() { call(player_->commands().previous); }
    void Pause() { call(player_->commands().pause); }
    void PlayPause() { call(player_->commands().playPause); }
    void Stop() { call(player_->commands().stop); }
    void Play() { call(player_->commands().play); }
    // The device's seeking is not offered (CanSeek is false): these do nothing, as asked.
    void Seek(qlonglong) {}
    void SetPosition(const QDBusObjectPath &, qlonglong) {}
    void OpenUri(const QString &uri, const QDBusMessage &message);

Q_SIGNALS:
    void Seeked(qlonglong position);

private:
    void call(const std::function<void()> &command) const {
        if (command && canControl())
            command();
    }
    MprisPlayer *player_;
};

} // namespace knobly
