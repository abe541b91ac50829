#include "HttpsServer.h"

#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace devicesim {

// One client connection, living on the server thread. Requests are answered strictly in order.
class Connection : public QObject {
public:
    Connection(DeviceCore *core, const QSslConfiguration &config, std::set<Connection *> *registry)
        : core_(core), registry_(registry), socket_(new QSslSocket(this)) {
        registry_->insert(this);
        socket_->setSslConfiguration(config);
    }

    ~Connection() override {
        registry_->erase(this);
        QObject::disconnect(socket_, nullptr, this, nullptr);
        socket_->abort();
        markClosed();
    }

    bool open(qintptr descriptor) {
        if (!socket_->setSocketDescriptor(descriptor))
            return false;
        core_->openConnections.fetch_add(1);
        counted_ = true;
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket_->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        connect(socket_, &QSslSocket::encrypted, this, [this] { core_->handshakes.fetch_add(1); });
        connect(socket_, &QSslSocket::readyRead, this, [this] {
            buffer_ += socket_->readAll();
            processBuffer();
        });
        connect(socket_, &QSslSocket::disconnected, this, [this] { closeLater(); });
        connect(socket_, &QAbstractSocket::errorOccurred, this, [this] {
            if (socket_->state() == QAbstractSocket::UnconnectedState)
                closeLater();
        });
        socket_->startServerEncryption();
        return true;
    }

private:
    void processBuffer() {
        while (!busy_ && !closing_) {
            if (bodyToSkip_ > 0) {
                const qsizetype n = qsizetype(std::min<qint64>(bodyToSkip_, buffer_.size()));
                buffer_.remove(0, n);
                bodyToSkip_ -= n;
                if (bodyToSkip_ > 0)
                    return;
            }
            const qsizetype end = buffer_.indexOf("\r\n\r\n");
            if (end < 0) {
                if (buffer_.size() > kMaxHeadBytes)
                    reset();
                return;
            }
            const QByteArray head = buffer_.left(end);
            buffer_.remove(0, end + 4);
            handleRequest(head);
        }
    }

    void handleRequest(const QByteArray &head) {
        const auto time = Clock::now();
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().simplified().split(' ');
        const QByteArray target = requestLine.value(1);
        bool keepAlive = requestLine.value(2) != "HTTP/1.0";
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray &line = lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed().toLower();
            if (name == "connection")
                keepAlive = !value.contains("close") && (keepAlive || value.contains("keep-alive"));
            else if (name == "content-length")
                bodyToSkip_ = std::max<qint64>(value.toLongLong(), 0);
        }

        const qsizetype query = target.indexOf('?');
        QByteArray command;
        bool hasCommand = false;
        if (query >= 0) {
            const QByteArray params = target.mid(query + 1);
            const qsizetype later = params.indexOf("&command=");
            const qsizetype at = params.startsWith("command=") ? 0 : later < 0 ? -1 : later + 1;
            if (at >= 0) {
                hasCommand = true;
                // Everything after "command=", '&' included: device commands may carry URLs.
                command = params.mid(at + qsizetype(sizeof "command=") - 1);
            }
        }
        core_->record(time, command, target);

        const quint64 packed = core_->fault.load();
        switch (faultOf(packed)) {
        case Fault::Reset:
            reset();
            return;
        case Fault::Hang:
            busy_ = true; // nothing after this is read or answered
            return;
        case Fault::Html404:
            send({404, kNotFoundPage}, keepAlive);
            return;
        case Fault::PlainHttp:
        case Fault::Garbage:
            // These act before the handshake; a kept-alive connection is dropped so that the
            // client has to come back through a new one.
            reset();
            return;
        case Fault::Drip: {
            const int every = delayOf(packed) > 0 ? delayOf(packed) : kDefaultDripMs;
            drip(httpResponse(core_->answer(target, command, hasCommand, Fault::Drip), keepAlive),
                 every, keepAlive);
            return;
        }
        case Fault::Delay: {
            const Answer answer = core_->answer(target, command, hasCommand, Fault::Delay);
            busy_ = true;
            // Context object `this`: the timer dies with the connection if the client leaves.
            QTimer::singleShot(delayOf(packed), Qt::PreciseTimer, this, [this, answer, keepAlive] {
                busy_ = false;
                send(answer, keepAlive);
                processBuffer();
            });
            return;
        }
        default:
            send(core_->answer(target, command, hasCommand, faultOf(packed)), keepAlive);
        }
    }

    void send(const Answer &answer, bool keepAlive) {
        socket_->write(httpResponse(answer, keepAlive));
        if (!keepAlive) {
            closing_ = true;
            socket_->disconnectFromHost(); // flushes first
        }
    }

    // The head goes at once, then the body one byte at a time: a trickle of body bytes is what
    // keeps a client's transfer timeout from ever firing. Nothing else is answered meanwhile.
    void drip(QByteArray bytes, int everyMs, bool keepAlive) {
        busy_ = true;
        const qsizetype head = bytes.indexOf("\r\n\r\n") + 4;
        socket_->write(bytes.left(head));
        bytes.remove(0, head);
        auto *timer = new QTimer(this); // dies with the connection if the client leaves
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(everyMs);
        auto pending = std::make_shared<QByteArray>(std::move(bytes));
        connect(timer, &QTimer::timeout, this, [this, timer, pending, keepAlive] {
            socket_->write(pending->left(1));
            pending->remove(0, 1);
            if (!pending->isEmpty())
                return;
            timer->deleteLater();
            busy_ = false;
            if (!keepAlive) {
                closing_ = true;
                socket_->disconnectFromHost();
                return;
            }
            processBuffer();
        });
        timer->start();
    }

    void reset() {
        closing_ = true;
        // Linger 0 makes close() send RST instead of FIN.
        const linger hard{1, 0};
        ::setsockopt(int(socket_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        socket_->abort();
        closeLater();
    }

    void closeLater() {
        if (counted_) {
            markClosed();
            deleteLater();
        }
    }

    void markClosed() {
        if (std::exchange(counted_, false))
            core_->openConnections.fetch_sub(1);
    }

    DeviceCore *core_;
    std::set<Connection *> *registry_;
    QSslSocket *socket_;
    QByteArray buffer_;
    qint64 bodyToSkip_ = 0;
    bool busy_ = false;
    bool closing_ = false;
    bool counted_ = false;
};

Listener::Listener(DeviceCore *core, QSslConfiguration config)
    : core_(core), config_(std::move(config)) {}

Listener::~Listener() {
    closeAll();
}

void Listener::closeAll() {
    close();
    while (!connections_.empty())
        delete *connections_.begin();
}

void Listener::incomingConnection(qintptr descriptor) {
    const Fault now = faultOf(core_->fault.load());
    if (now == Fault::PlainHttp || now == Fault::Garbage) {
        refuse(descriptor, now);
        return;
    }
    auto *connection = new Connection(core_, config_, &connections_);
    if (!connection->open(descriptor)) {
        delete connection;
        ::close(int(descriptor));
    }
}

void Listener::refuse(qintptr descriptor, Fault how) {
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));
        return;
    }
    QByteArray reply;
    if (how == Fault::PlainHttp) {
        reply = "HTTP/1.1 400 Bad Request\r\n\r\n";
    } else {
        reply.resize(512);
        for (char &c : reply)
            c = char(QRandomGenerator::global()->bounded(256));
    }
    // Read and drop the hello, so that closing does not turn into a reset.
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(reply);
    socket->disconnectFromHost();
}

} // namespace devicesim
