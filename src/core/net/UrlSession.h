#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <cstddef>
#include <functional>
#include <memory>

namespace knobly {

// How a session answers an authentication challenge.
enum class ChallengeDisposition {
    UseCredential = 0,
    PerformDefaultHandling = 1,
};

// The server's certificate did not verify. A password request gets no credentials.
struct AuthChallenge {
    bool hasServerTrust = false; // a certificate chain came with the challenge
};

class SessionDelegate {
public:
    virtual ~SessionDelegate() = default;
    virtual ChallengeDisposition didReceiveChallenge(const AuthChallenge &challenge) = 0;
};

struct UrlResponse {
    bool transportOk = false; // a complete HTTP answer arrived, whatever its status
    int httpStatus = 0;
    QByteArray body;
    QString error; // why the transport failed

    // A complete answer with HTTP status 200: what every query and command needs first.
    bool isOk() const { return transportOk && httpStatus == 200; }
};

struct UrlSessionConfig {
    // Longest wait for more data on one request.
    double transferTimeoutSeconds = 60.0;
    // Longest a whole request may take: a peer trickling bytes never trips the transfer
    // timeout on its own.
    double totalTimeoutSeconds = 0; // 0: none
    // A larger body is a transport failure: a device must not be able to exhaust our memory.
    qint64 maxBodyBytes = 1024 * 1024;
};

// One HTTP client on the main thread's Qt loop. Completions run there, each exactly once,
// from the loop (never inside get()), also once the session's owner has let go of it.
class UrlSession {
public:
    using Completion = std::function<void(const UrlResponse &)>;

    virtual ~UrlSession() = default;

    // GET with no body and no extra headers.
    virtual void get(const QUrl &url, Completion completion) = 0;

    // Requests started and not yet completed.
    virtual std::size_t requestsInFlight() const = 0;

    static std::shared_ptr<UrlSession> create(const UrlSessionConfig &config,
                                              std::shared_ptr<SessionDelegate> delegate);

    // HTTP/1.1 on sockets of its own, kept open between requests, for devices on the local
    // network: no proxy, no redirects, no cookies, no compression; far less work a request
    // than create()'s, which suits the internet.
    static std::shared_ptr<UrlSession> createForDevice(const UrlSessionConfig &config,
                                                       std::shared_ptr<SessionDelegate> delegate);

    // Every session's requests in flight, for leak checks.
    static std::size_t allRequestsInFlight();

    // Calls off every request in flight; their completions run now, as failures. For a
    // program about to end.
    static void abortAll();
};

} // namespace knobly
