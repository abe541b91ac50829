#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace knobly {

// How a session answers an authentication challenge.
enum class ChallengeDisposition {
    UseCredential = 0,
    PerformDefaultHandling = 1,
};

enum class AuthenticationMethod {
    ServerTrust, // TLS: the server's certificate did not verify
    HttpBasic,   // the server or a proxy asked for a password
};

struct AuthChallenge {
    AuthenticationMethod method = AuthenticationMethod::ServerTrust;
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

// One HTTP client with a serial background thread of its own. Completions run on that
// thread, one at a time. The session stays alive until its requests in flight complete,
// even when its owner has let go of it.
class UrlSession {
public:
    using Completion = std::function<void(const UrlResponse &)>;

    virtual ~UrlSession() = default;

    // GET with no body and no extra headers. Safe from any thread.
    virtual void get(const QUrl &url, Completion completion) = 0;

    // Requests started and not yet completed.
    virtual std::size_t requestsInFlight() const = 0;

    static std::shared_ptr<UrlSession> create(const UrlSessionConfig &config,
                                              std::shared_ptr<SessionDelegate> delegate);

    // Sessions whose thread is still alive, for leak checks.
    static std::size_t liveSessions();

    // Calls off every request in flight in every session and waits up to `wait` for their
    // completions to have run: for a program about to end, so that no network thread is
    // still at work while the process tears itself down. False when some did not finish.
    static bool abortAll(std::chrono::milliseconds wait = std::chrono::seconds(3));
};

} // namespace knobly
