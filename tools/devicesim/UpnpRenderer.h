#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace devicesim {

// The device's UPnP MediaRenderer side through GUPnP's server: the description, a
// RenderingControl and an AVTransport whose actions work on the device's state, and a
// LastChange event for every change, whoever made it. Lives on the simulator's thread.
class UpnpRenderer {
public:
    struct Snapshot {
        int volume = 0;
        bool muted = false;
        QString status; // the device's own word: "play", "pause", "stop", "load", "none"
        QString title, artist, album;
    };
    struct Hooks {
        std::function<Snapshot()> read;
        // An action as the device's own command ("vol:30", "mute:1", "pause", ...).
        std::function<void(const QByteArray &command)> act;
        // A SUBSCRIBE came in: a renewal, or a new one with its callback.
        std::function<void(bool renewal, const QByteArray &callback)> subscribed;
    };

    UpnpRenderer(QHostAddress bind, QString name, Hooks hooks);
    ~UpnpRenderer();
    UpnpRenderer(const UpnpRenderer &) = delete;
    UpnpRenderer &operator=(const UpnpRenderer &) = delete;

    bool start(quint16 port, QString *error);
    quint16 port() const;
    QUrl description() const;

    // The state may have changed: sends what did to every subscriber (unless silent).
    void changed();
    void setSilent(bool silent) { silent_ = silent; }
    // Every subscription is forgotten, as by a device that restarted its UPnP side.
    void forgetSubscribers();
    // A LastChange of the caller's making on "rc" or "avt", for tests of hostile events.
    void sendRaw(const QByteArray &service, const QByteArray &lastChange);

private:
    struct Gupnp;
    QByteArray lastChange(bool renderingControl, const Snapshot *previous) const;
    bool host(QString *error);

    const QHostAddress bind_;
    const QString name_;
    const Hooks hooks_;
    QTemporaryDir dir_;
    std::unique_ptr<Gupnp> g_;
    std::optional<Snapshot> sent_; // what the last events said
    bool silent_ = false;
};

} // namespace devicesim
