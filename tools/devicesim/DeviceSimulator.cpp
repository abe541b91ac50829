#include "DeviceSimulator.h"

#include "DeviceCore.h"
#include "HttpsServer.h"
#include "SelfSignedCert.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace devicesim {

struct DeviceSimulator::Impl {
    explicit Impl(Options options) : core(std::move(options)) {}

    DeviceCore core;
    std::atomic<quint16> port{0};

    // Lifecycle, driven from the owner's thread; the server thread reports through lifeMutex.
    enum class Phase { Starting, Listening, Failed };
    std::mutex lifeMutex;
    std::condition_variable lifeChanged;
    Phase phase = Phase::Failed;
    QString startError;
    quint16 boundPort = 0;

    // Written before the thread starts, read only by it.
    PemPair pem;
    quint16 previousPort = 0;
    quint16 previousUpnpPort = 0;
    // The server thread's loop and renderer while it serves; set and cleared under lifeMutex.
    std::atomic<QObject *> loopObject{nullptr};
    std::atomic<UpnpRenderer *> upnp{nullptr};
    QUrl description; // written by the server thread before it reports Listening
    std::atomic<int> upnpSubscribes{0}, upnpRenewals{0};
    QByteArray upnpCallback; // the last new subscriber's, under lifeMutex

    // Runs `work` with the renderer on the server thread, if it serves one.
    void withRenderer(std::function<void(UpnpRenderer &)> work) {
        std::lock_guard lock(lifeMutex);
        if (QObject *loop = loopObject.load(); loop && upnp.load())
            QMetaObject::invokeMethod(
                loop,
                [this, work = std::move(work)] {
                    if (UpnpRenderer *r = upnp.load())
                        work(*r);
                },
                Qt::QueuedConnection);
    }
    int wakeFds[2] = {-1, -1};

    // A std::thread that Qt adopts, running a QEventLoop: QThread::wait() syncs through a
    // futex TSan cannot see, while join() is a real happens-before edge.
    std::thread thread;

    void setPhase(Phase next, const QString &error = {}, quint16 bound = 0) {
        {
            std::lock_guard lock(lifeMutex);
            phase = next;
            startError = error;
            boundPort = bound;
        }
        lifeChanged.notify_all();
    }

    void waitWhile(Phase current) {
        std::unique_lock lock(lifeMutex);
        lifeChanged.wait(lock, [&] { return phase != current; });
    }

    void serve() {
        QThread::currentThread()->setObjectName(QStringLiteral("devicesim"));
        {
            QString error;
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            config.setLocalCertificate(QSslCertificate(pem.certificate, QSsl::Pem));
            config.setPrivateKey(QSslKey(pem.privateKey, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey));
            config.setPeerVerifyMode(QSslSocket::VerifyNone);
            if (!QSslSocket::supportsSsl())
                error = QStringLiteral("no TLS backend available");
            else if (config.localCertificate().isNull() || config.privateKey().isNull())
                error = QStringLiteral("could not load the generated certificate");

            QEventLoop loop;
            Listener listener(&core, config);
            // stop() writes a byte here; a pipe keeps the wake-up visible to thread sanitizers.
            QSocketNotifier wake(wakeFds[0], QSocketNotifier::Read);
            QObject::connect(&wake, &QSocketNotifier::activated, &loop, [&] {
                char drain[16];
                while (::read(wakeFds[0], drain, sizeof drain) > 0) {
                }
                loop.quit();
            });

            const QHostAddress &bind = core.options.bind;
            bool listening = false;
            if (error.isEmpty()) {
                // A restarted device comes back on its old port, as a real one would.
                if (core.options.port == 0 && previousPort != 0)
                    listening = listener.listen(bind, previousPort);
                if (!listening)
                    listening = listener.listen(bind, core.options.port);
                if (!listening)
                    error = QStringLiteral("cannot listen on %1 port %2: %3")
                                .arg(bind.toString())
                                .arg(core.options.port)
                                .arg(listener.errorString());
            }
            std::optional<UpnpRenderer> renderer;
            if (listening && core.options.upnpPort) {
                renderer.emplace(
                    bind, core.options.name,
                    UpnpRenderer::Hooks{[this] { return core.snapshot(); },
                                        [this](const QByteArray &command) {
                                            std::lock_guard lock(core.mutex);
                                            core.setPlayerCmdLocked(command);
                                        },
                                        [this](bool renewal, const QByteArray &callback) {
                                            ++(renewal ? upnpRenewals : upnpSubscribes);
                                            if (!renewal) {
                                                std::lock_guard lock(lifeMutex);
                                                upnpCallback = callback;
                                            }
                                        }});
                // A restarted device comes back on its old UPnP port too.
                const quint16 upnpPort =
                    *core.options.upnpPort ? *core.options.upnpPort : previousUpnpPort;
                if (!renderer->start(upnpPort, &error) &&
                    (upnpPort == *core.options.upnpPort || !renderer->start(0, &error))) {
                    listening = false;
                } else {
                    core.onChange = [&renderer] { renderer->changed(); };
                    upnp.store(&*renderer);
                    description = renderer->description();
                    previousUpnpPort = renderer->port();
                }
            }
            // Other devices of a group, reached on this one's port at their own addresses.
            QNetworkAccessManager peers;
            peers.setTransferTimeout(1000);
            const quint16 peerPort = listener.serverPort();
            core.callPeers = [&](std::vector<PeerCall> calls) {
                for (PeerCall &call : calls)
                    callPeer(peers, peerPort, std::move(call));
            };
            QTimer refresh;
            QObject::connect(&refresh, &QTimer::timeout, [&] {
                std::vector<PeerCall> calls;
                {
                    std::lock_guard lock(core.mutex);
                    calls = core.multiroom.refreshFollowers();
                }
                core.callPeers(std::move(calls));
            });
            refresh.start(300);
            if (listening) {
                setPhase(Phase::Listening, {}, listener.serverPort());
                loopObject.store(&loop);
                loop.exec();
                {
                    std::lock_guard lock(lifeMutex);
                    loopObject.store(nullptr);
                    upnp.store(nullptr);
                }
                core.onChange = nullptr;
                core.callPeers = nullptr;
            } else {
                setPhase(Phase::Failed, error);
            }
            listener.closeAll();
        }
    }

    void callPeer(QNetworkAccessManager &peers, quint16 port, PeerCall call) {
        QUrl url;
        url.setScheme(QStringLiteral("https"));
        url.setHost(call.ip);
        url.setPort(port);
        url.setPath(QStringLiteral("/httpapi.asp"));
        url.setQuery(QStringLiteral("command=") + QString::fromUtf8(call.command));
        QNetworkRequest request(url);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone); // every device's certificate is its own
        request.setSslConfiguration(tls);
        QNetworkReply *reply = peers.get(request);
        QObject::connect(reply, &QNetworkReply::finished, reply,
                         [this, reply, done = std::move(call.done)] {
                             reply->deleteLater();
                             if (!done)
                                 return;
                             std::optional<QByteArray> body;
                             if (reply->error() == QNetworkReply::NoError)
                                 body = reply->readAll();
                             {
                                 std::lock_guard lock(core.mutex);
                                 done(body);
                             }
                             if (core.onChange)
                                 core.onChange();
                         });
    }

    void join() {
        thread.join();
        for (int &fd : wakeFds) {
            ::close(fd);
            fd = -1;
        }
    }
};

DeviceSimulator::DeviceSimulator() : DeviceSimulator(Options()) {}

DeviceSimulator::DeviceSimulator(Options options) : d(std::make_unique<Impl>(std::move(options))) {}

DeviceSimulator::~DeviceSimulator() {
    stop();
}

bool DeviceSimulator::start(QString *error) {
    if (d->thread.joinable())
        return true;
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };

    QString why;
    if (!makeSelfSignedCert(&d->pem, &why))
        return fail(why);
    if (::pipe2(d->wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(strerror(errno))));

    d->previousPort = d->port.load();
    d->core.handshakes.store(0);
    d->setPhase(Impl::Phase::Starting);
    d->thread = std::thread([impl = d.get()] { impl->serve(); });
    d->waitWhile(Impl::Phase::Starting);

    std::unique_lock lock(d->lifeMutex);
    if (d->phase == Impl::Phase::Failed) {
        why = d->startError;
        lock.unlock();
        d->join();
        return fail(why);
    }
    d->port.store(d->boundPort);
    return true;
}

void DeviceSimulator::stop() {
    if (!d->thread.joinable())
        return;
    const char wake = 1;
    [[maybe_unused]] const auto written = ::write(d->wakeFds[1], &wake, 1);
    d->join();
}

quint16 DeviceSimulator::port() const {
    return d->port.load();
}

QString DeviceSimulator::address() const {
    const QHostAddress &bind = d->core.options.bind;
    const QString host = bind.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + bind.toString() + QLatin1Char(']')
                             : bind.toString();
    return host + QLatin1Char(':') + QString::number(port());
}

void DeviceSimulator::setFault(Fault fault, int delayMs) {
    d->core.fault.store(packFault(fault, delayMs));
}

int DeviceSimulator::volume() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.volume;
}

void DeviceSimulator::setVolume(int volume) {
    {
        std::lock_guard lock(d->core.mutex);
        d->core.volume = std::clamp(volume, 0, 100);
    }
    d->withRenderer([](UpnpRenderer &r) { r.changed(); });
}

bool DeviceSimulator::muted() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.muted;
}

void DeviceSimulator::setMuted(bool muted) {
    {
        std::lock_guard lock(d->core.mutex);
        d->core.muted = muted;
    }
    d->withRenderer([](UpnpRenderer &r) { r.changed(); });
}

QString DeviceSimulator::status() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.status;
}

void DeviceSimulator::setStatus(const QString &status) {
    {
        std::lock_guard lock(d->core.mutex);
        d->core.status = status;
    }
    d->withRenderer([](UpnpRenderer &r) { r.changed(); });
}

int DeviceSimulator::sleepSecondsLeft() const {
    std::lock_guard lock(d->core.mutex);
    return int(d->core.shutdownLeftLocked());
}

QString DeviceSimulator::leaderIp() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.multiroom.following() ? d->core.multiroom.leaderIp() : QString();
}

int DeviceSimulator::followerCount() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.multiroom.followerCount();
}

int DeviceSimulator::trackIndex() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.trackIndex;
}

void DeviceSimulator::runCommand(const QByteArray &command) {
    {
        std::lock_guard lock(d->core.mutex);
        if (command.startsWith("setPlayerCmd:"))
            d->core.setPlayerCmdLocked(command.mid(int(sizeof "setPlayerCmd:") - 1));
        else if (command.startsWith("setShutdown:"))
            d->core.setShutdownLocked(command.mid(int(sizeof "setShutdown:") - 1));
    }
    d->withRenderer([](UpnpRenderer &r) { r.changed(); });
}

void DeviceSimulator::setStatusExBody(const QByteArray &body) {
    std::lock_guard lock(d->core.mutex);
    d->core.statusExBody = body;
}

std::vector<RequestRecord> DeviceSimulator::requests() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.log;
}

std::vector<QString> DeviceSimulator::commands() const {
    std::lock_guard lock(d->core.mutex);
    std::vector<QString> out;
    out.reserve(d->core.log.size());
    for (const RequestRecord &record : d->core.log)
        out.push_back(record.command);
    return out;
}

std::size_t DeviceSimulator::commandCount(const QString &command) const {
    std::lock_guard lock(d->core.mutex);
    return std::count_if(d->core.log.begin(), d->core.log.end(),
                         [&](const RequestRecord &record) { return record.command == command; });
}

void DeviceSimulator::clearRequests() {
    std::lock_guard lock(d->core.mutex);
    d->core.log.clear();
}

QUrl DeviceSimulator::upnpDescription() const {
    std::lock_guard lock(d->lifeMutex);
    return d->upnp.load() ? d->description : QUrl();
}

void DeviceSimulator::setUpnpSilent(bool silent) {
    d->withRenderer([silent](UpnpRenderer &r) { r.setSilent(silent); });
}

void DeviceSimulator::forgetUpnpSubscribers() {
    d->withRenderer([](UpnpRenderer &r) { r.forgetSubscribers(); });
}

void DeviceSimulator::sendUpnpEvent(const QByteArray &service, const QByteArray &lastChange) {
    d->withRenderer([service, lastChange](UpnpRenderer &r) { r.sendRaw(service, lastChange); });
}

int DeviceSimulator::upnpSubscribes() const {
    return d->upnpSubscribes.load();
}

QByteArray DeviceSimulator::upnpCallback() const {
    std::lock_guard lock(d->lifeMutex);
    return d->upnpCallback;
}

int DeviceSimulator::upnpRenewals() const {
    return d->upnpRenewals.load();
}

int DeviceSimulator::tlsHandshakes() const {
    return d->core.handshakes.load();
}

int DeviceSimulator::openConnections() const {
    return d->core.openConnections.load();
}

} // namespace devicesim
