#include "MprisPlayer.h"

#include "KnoblyBuild.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <cmath>

namespace knobly {

namespace {

const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kRootInterface = QStringLiteral("org.mpris.MediaPlayer2");

QString playbackName(MediaControls::Playback playback) {
    switch (playback) {
    case MediaControls::Playback::playing:
        return QStringLiteral("Playing");
    case MediaControls::Playback::paused:
        return QStringLiteral("Paused");
    case MediaControls::Playback::stopped:
        break;
    }
    return QStringLiteral("Stopped");
}

void sendPropertiesChanged(QDBusConnection &bus, const QString &interface,
                           const QVariantMap &changed) {
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(MprisPlayer::objectPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
    signal << interface << changed << QStringList();
    bus.send(signal);
}

QVariantMap changedOf(const QVariantMap &before, const QVariantMap &after) {
    QVariantMap changed;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        if (before.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    return changed;
}

} // namespace

std::unique_ptr<MediaControls> MediaControls::create(Commands commands) {
    auto player = std::make_unique<MprisPlayer>(std::move(commands));
    if (!player->isRegistered())
        return nullptr;
    return player;
}

MprisPlayer::MprisPlayer(Commands commands, QDBusConnection connection)
    : connection_(std::move(connection)), commands_(std::move(commands)) {
    new MprisRoot(this);
    new MprisPlayerInterface(this);
    if (!connection_.isConnected())
        return;
    registered_ = connection_.registerObject(QString::fromLatin1(objectPath), this,
                                             QDBusConnection::ExportAdaptors) &&
                  connection_.registerService(QString::fromLatin1(serviceName));
}

MprisPlayer::~MprisPlayer() {
    if (!registered_)
        return;
    connection_.unregisterService(QString::fromLatin1(serviceName));
    connection_.unregisterObject(QString::fromLatin1(objectPath));
}

QVariantMap MprisPlayer::metadata() const {
    QVariantMap m;
    const bool track = !state_.title.isEmpty() || !state_.artist.isEmpty();
    m.insert(QStringLiteral("mpris:trackid"),
             QVariant::fromValue(QDBusObjectPath(
                 track ? QStringLiteral("/org/knobly/Knobly/track/%1").arg(track_)
                       : QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack"))));
    if (!state_.title.isEmpty())
        m.insert(QStringLiteral("xesam:title"), state_.title);
    if (!state_.artist.isEmpty())
        m.insert(QStringLiteral("xesam:artist"), QStringList{state_.artist});
    if (!state_.album.isEmpty())
        m.insert(QStringLiteral("xesam:album"), state_.album);
    if (state_.lengthUs)
        m.insert(QStringLiteral("mpris:length"), qlonglong(*state_.lengthUs));
    if (state_.artUrl.isValid())
        m.insert(QStringLiteral("mpris:artUrl"), state_.artUrl.toString());
    return m;
}

QVariantMap MprisPlayer::playerProperties() const {
    const bool can = state_.reachable;
    return {{QStringLiteral("PlaybackStatus"), playbackName(state_.playback)},
            {QStringLiteral("Metadata"), metadata()},
            {QStringLiteral("Volume"), state_.volume},
            {QStringLiteral("CanGoNext"), can},
            {QStringLiteral("CanGoPrevious"), can},
            {QStringLiteral("CanPlay"), can},
            {QStringLiteral("CanPause"), can},
            {QStringLiteral("CanControl"), can}};
}

void MprisPlayer::setState(const State &state) {
    if (state == state_)
        return;
    const QVariantMap before = playerProperties();
    const QString identity = state_.identity;
    if (state.title != state_.title || state.artist != state_.artist || state.album != state_.album)
        ++track_;
    state_ = state;
    if (!registered_)
        return;
    // Position moves all the time; players never announce it.
    sendPropertiesChanged(connection_, kPlayerInterface, changedOf(before, playerProperties()));
    if (identity != state_.identity)
        sendPropertiesChanged(connection_, kRootInterface,
                              {{QStringLiteral("Identity"), state_.identity}});
}

void MprisRoot::Quit() {
    // After the reply: the caller hears back before we go.
    if (const auto quit = player_->commands().quit)
        QMetaObject::invokeMethod(player_, quit, Qt::QueuedConnection);
}

QString MprisRoot::desktopEntry() const {
    return QString::fromLatin1(build::appId);
}

QString MprisPlayerInterface::playbackStatus() const {
    return playbackName(player_->state().playback);
}

void MprisPlayerInterface::setVolume(double volume) {
    if (!std::isfinite(volume) || !canControl() || !player_->commands().setVolume)
        return;
    player_->commands().setVolume(std::clamp(volume, 0.0, 1.0));
}

void MprisPlayerInterface::OpenUri(const QString &, const QDBusMessage &message) {
    message.setDelayedReply(true);
    player_->connection().send(message.createErrorReply(
        QDBusError::NotSupported, QStringLiteral("Knobly plays what the device plays.")));
}

} // namespace knobly
