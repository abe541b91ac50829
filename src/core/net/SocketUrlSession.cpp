#include "HttpAnswer.h"
#include "SessionCounts.h"
#include "UrlSession.h"

#include <QCoreApplication>
#include <QNetworkProxy>
#include <QPointer>
#include <QSslSocket>
#include <QThread>
#include <QTimer>

#include <set>
#include <vector>

namespace knobly {

namespace {

class Connection;
std::set<Connection *> g_busy; // connections with a request, for abortAll

// Connections are kept per scheme, host and port.
QString keyOf(const QUrl &url) {
    return url.scheme() + url.authority();
}

// What QNetworkAccessManager sends as the request target, so devices see the same bytes.
QByteArray requestTarget(QUrl url) {
    QUrl::FormattingOptions format(QUrl::RemoveFragment | QUrl::RemoveUserInfo |
                                   QUrl::FullyEncoded | QUrl::RemoveScheme | QUrl::RemoveAuthority);
    if (url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    else
        format |= QUrl::NormalizePathSegments;
    return url.toEncoded(format);
}

struct Shared {
    UrlSessionConfig config;
    std::shared_ptr<SessionDelegate> delegate;
    std::vector<QPointer<Connection>> idle;
    std::size_t inFlight = 0;
    bool orphaned = false;
};

// One socket to one host, one request at a time. It lives while it carries a request and
// while it is kept for the next one; its owner is the application, so the session's owner may
// let go of the session at any time.
class Connection final : public QObject {
public:
    Connection(const QUrl &url, std::shared_ptr<Shared> shared)
        : QObject(QCoreApplication::instance()), shared_(std::move(shared)), key_(keyOf(url)),
          answer_(shared_->config.maxBodyBytes) {
        // Coarse timers may fire early; a deadline is never shorter than asked.
        for (QTimer *t : {&idleTimer_, &totalTimer_}) {
            t->setSingleShot(true);
            t->setTimerType(Qt::PreciseTimer);
            connect(t, &QTimer::timeout, this, [this] { fail(QStringLiteral("timed out")); });
        }
    }

    ~Connection() override { g_busy.erase(this); }

    const QString &key() const { return key_; }
    bool usable() const { return socket_ && socket_->state() == QAbstractSocket::ConnectedState; }

    void start(const QUrl &url, UrlSession::Completion completion) {
        url_ = url;
        completion_ = std::move(completion);
        reused_ = usable();
        retried_ = false;
        g_busy.insert(this);
        const auto &c = shared_->config;
        if (c.totalTimeoutSeconds > 0)
            totalTimer_.start(sessions::timerMs(c.totalTimeoutSeconds));
        send();
    }

    // Calls the request off as a failure; the socket is not kept.
    void fail(const QString &why) {
        if (!completion_)
            return;
        UrlResponse r;
        r.error = why;
        closeSocket();
        finish(std::move(r));
    }

private:
    void send() {
        answer_ = HttpAnswer(shared_->config.maxBodyBytes);
        if (!usable())
            open();
        QByteArray request = "GET " + requestTarget(url_) + " HTTP/1.1\r\nHost: " +
                             url_.authority(QUrl::FullyEncoded | QUrl::RemoveUserInfo).toLatin1() +
                             "\r\nAccept: */*\r\nConnection: keep-alive\r\n\r\n";
        socket_->write(request);
        // Out now, rather than on the loop's next turn; a socket still connecting sends it once
        // connected.
        if (socket_->state() == QAbstractSocket::ConnectedState)
            socket_->flush();
        touch();
    }

    void open() {
        closeSocket();
        const bool tls = url_.scheme() == QLatin1String("https");
        // Plain HTTP (UPnP descriptions) needs none of TLS's set-up.
        socket_ = tls ? new QSslSocket(this) : new QTcpSocket(this);
        socket_->setProxy(QNetworkProxy::NoProxy);
        connect(socket_, &QTcpSocket::connected, socket_,
                [s = socket_] { s->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
        connect(socket_, &QTcpSocket::bytesWritten, this, [this] { touch(); });
        connect(socket_, &QTcpSocket::readyRead, this, [this] { read(); });
        connect(socket_, &QTcpSocket::disconnected, this, [this] { lost(); });
        connect(socket_, &QTcpSocket::errorOccurred, this, [this] {
            if (socket_ && socket_->state() != QAbstractSocket::ConnectedState)
                lost();
        });
        const quint16 port = quint16(url_.port(tls ? 443 : 80));
        auto *ssl = qobject_cast<QSslSocket *>(socket_);
        if (!ssl) {
            socket_->connectToHost(url_.host(), port);
            return;
        }
        connect(ssl, &QSslSocket::encrypted, this, [this] { touch(); });
        connect(ssl, &QSslSocket::sslErrors, this, [this, ssl] {
            AuthChallenge c;
            c.hasServerTrust = !ssl->peerCertificateChain().isEmpty();
            const auto &d = shared_->delegate;
            if (d && d->didReceiveChallenge(c) == ChallengeDisposition::UseCredential)
                ssl->ignoreSslErrors();
        });
        ssl->connectToHostEncrypted(url_.host(), port);
    }

    void closeSocket() {
        if (!socket_)
            return;
        QTcpSocket *s = std::exchange(socket_, nullptr);
        s->disconnect(this);
        s->abort();
        s->deleteLater();
    }

    // Data moved: the transfer timeout starts again.
    void touch() {
        if (completion_ && shared_->config.transferTimeoutSeconds > 0)
            idleTimer_.start(sessions::timerMs(shared_->config.transferTimeoutSeconds));
    }

    void read() {
        const QByteArray bytes = socket_->readAll();
        if (!completion_) { // nothing was asked: a device talking out of turn is not kept
            closeSocket();
            deleteLater();
            return;
        }
        touch();
        switch (answer_.feed(bytes)) {
        case HttpAnswer::State::Reading:
            return;
        case HttpAnswer::State::Failed:
            fail(answer_.error());
            return;
        case HttpAnswer::State::Done:
            done();
        }
    }

    void lost() {
        const QString why = socket_ ? socket_->errorString() : QString();
        if (!completion_) { // an idle connection the device closed
            closeSocket();
            deleteLater();
            return;
        }
        // A kept connection may have been closed by the device just as the request left:
        // once, the request goes again on a new one.
        if (reused_ && !retried_ && !answer_.started()) {
            retried_ = true;
            closeSocket();
            send();
            return;
        }
        if (answer_.closed() == HttpAnswer::State::Done) {
            done();
            return;
        }
        fail(answer_.started() ? answer_.error() : why);
    }

    void done() {
        UrlResponse r;
        r.transportOk = true;
        r.httpStatus = answer_.status();
        r.body = answer_.takeBody();
        if (!answer_.reusable())
            closeSocket();
        finish(std::move(r));
    }

    void finish(UrlResponse response) {
        idleTimer_.stop();
        totalTimer_.stop();
        g_busy.erase(this);
        --shared_->inFlight;
        --sessions::inFlight;
        auto completion = std::exchange(completion_, nullptr);
        std::erase_if(shared_->idle, [](const QPointer<Connection> &c) { return !c; });
        if (usable() && !shared_->orphaned && shared_->idle.size() < 2)
            shared_->idle.push_back(this);
        else
            deleteLater();
        completion(response);
    }

    const std::shared_ptr<Shared> shared_;
    const QString key_;
    QTcpSocket *socket_ = nullptr;
    QUrl url_;
    UrlSession::Completion completion_;
    HttpAnswer answer_;
    QTimer idleTimer_;
    QTimer totalTimer_;
    bool reused_ = false;
    bool retried_ = false;
};

class SocketUrlSession final : public UrlSession {
public:
    SocketUrlSession(const UrlSessionConfig &config, std::shared_ptr<SessionDelegate> delegate)
        : shared_(std::make_shared<Shared>()) {
        Q_ASSERT(QCoreApplication::instance() &&
                 QThread::currentThread() == QCoreApplication::instance()->thread());
        shared_->config = config;
        shared_->delegate = std::move(delegate);
    }

    ~SocketUrlSession() override {
        shared_->orphaned = true;
        for (const auto &c : std::exchange(shared_->idle, {}))
            if (c)
                c->deleteLater();
    }

    void get(const QUrl &url, Completion completion) override {
        ++shared_->inFlight;
        ++sessions::inFlight;
        const QString scheme = url.scheme();
        if (!url.isValid() || url.host().isEmpty() ||
            (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
            // Still from the loop, as every completion.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [shared = shared_, completion = std::move(completion)] {
                    --shared->inFlight;
                    --sessions::inFlight;
                    UrlResponse r;
                    r.error = QStringLiteral("not a URL this session can ask");
                    completion(r);
                },
                Qt::QueuedConnection);
            return;
        }
        connectionFor(url)->start(url, std::move(completion));
    }

    std::size_t requestsInFlight() const override { return shared_->inFlight; }

private:
    Connection *connectionFor(const QUrl &url) {
        const QString key = keyOf(url);
        auto &idle = shared_->idle;
        // The most recently used first: a spare one then goes idle and the device closes it.
        for (auto it = idle.rbegin(); it != idle.rend(); ++it) {
            if (*it && (*it)->key() == key && (*it)->usable()) {
                Connection *c = *it;
                idle.erase(std::next(it).base());
                return c;
            }
        }
        return new Connection(url, shared_);
    }

    const std::shared_ptr<Shared> shared_;
};

} // namespace

std::shared_ptr<UrlSession> UrlSession::createForDevice(const UrlSessionConfig &config,
                                                        std::shared_ptr<SessionDelegate> delegate) {
    return std::make_shared<SocketUrlSession>(config, std::move(delegate));
}

void sessions::abortDeviceRequests() {
    const std::set<Connection *> busy = g_busy;
    for (Connection *c : busy)
        if (g_busy.count(c))
            c->fail(QStringLiteral("aborted"));
}

} // namespace knobly
