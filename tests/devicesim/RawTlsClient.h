#pragma once
// A blocking HTTPS client for poking the device simulator from tests.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

namespace devicesim::testclient {

using namespace std::chrono_literals;

enum class Outcome { Answer, Timeout, Reset, Closed };

struct Reply {
    Outcome outcome = Outcome::Closed;
    int code = 0;
    QByteArray head, body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// Blocking TLS on a raw socket: unlike QSslSocket, it tells a reset (ECONNRESET) from a close.
class Client {
public:
    explicit Client(quint16 port) {
        std::signal(SIGPIPE, SIG_IGN);
        const sockaddr_in addr{.sin_family = AF_INET,
                               .sin_port = htons(port),
                               .sin_addr = {htonl(INADDR_LOOPBACK)},
                               .sin_zero = {}};
        SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF); // peers go unverified by default
        setTimeout(10s);
        // A failed connect or handshake shows up as a failed request later.
        if (::connect(fd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 &&
            SSL_set_fd(ssl_, fd_) == 1)
            SSL_connect(ssl_);
    }
    ~Client() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
        ::close(fd_);
    }
    void setTimeout(std::chrono::milliseconds t) {
        const timeval tv{t.count() / 1000, (t.count() % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    bool send(const QByteArray &target, const QByteArray &headers = {}) {
        const QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
        return SSL_write(ssl_, request.constData(), int(request.size())) == int(request.size());
    }
    Reply read() {
        Reply r;
        auto bodySize = [this](qsizetype headEnd) {
            const qsizetype at = buffer_.left(headEnd).indexOf("\r\nContent-Length: ");
            return at < 0 ? 0 : buffer_.mid(at + 18, headEnd - at - 18).split('\r')[0].toLongLong();
        };
        qsizetype end = 0;
        while ((end = buffer_.indexOf("\r\n\r\n")) < 0 || buffer_.size() < end + 4 + bodySize(end))
            if (!fill(&r))
                return r;
        r.head = buffer_.left(end);
        r.body = buffer_.mid(end + 4, bodySize(end));
        buffer_.remove(0, end + 4 + r.body.size());
        r.code = r.head.mid(9, 3).toInt();
        r.outcome = Outcome::Answer;
        return r;
    }
    Reply get(const QByteArray &target) { return send(target) ? read() : Reply{}; }

private:
    bool fill(Reply *r) {
        char chunk[65536];
        errno = 0;
        const int n = SSL_read(ssl_, chunk, sizeof chunk);
        const int sysErrno = errno;
        if (n > 0)
            buffer_.append(chunk, n);
        else if (sysErrno == EAGAIN || SSL_get_error(ssl_, n) == SSL_ERROR_WANT_READ)
            r->outcome = Outcome::Timeout;
        else
            r->outcome = sysErrno == ECONNRESET ? Outcome::Reset : Outcome::Closed;
        return n > 0;
    }
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    SSL_CTX *ctx_ = SSL_CTX_new(TLS_client_method());
    SSL *ssl_ = SSL_new(ctx_);
    QByteArray buffer_;
};

} // namespace devicesim::testclient
