#include "SessionCounts.h"
#include "UrlSession.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace knobly {

namespace {

// An HTTP answer arrived (a status line was read) and was not cut short: the status code
// decides nothing here, so HTTP-level errors count as a completed transfer.
bool completedHttpAnswer(const QNetworkReply &reply) {
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    const int e = reply.error();
    return e == QNetworkReply::NoError ||
           (e >= QNetworkReply::ContentAccessDenied && e <= QNetworkReply::UnknownContentError) ||
           (e >= QNetworkReply::InternalServerError && e <= QNetworkReply::UnknownServerError);
}

class QtUrlSession final : public UrlSession {
public:
    QtUrlSession(const UrlSessionConfig &config, std::shared_ptr<SessionDelegate> delegate)
        : config_(config), delegate_(std::move(delegate)), shared_(std::make_shared<Shared>()) {
        auto *app = QCoreApplication::instance();
        Q_ASSERT(app && QThread::currentThread() == app->thread());
        // Owned by the application, so that it goes before the application does at the latest.
        shared_->manager = new QNetworkAccessManager(app);
    }

    ~QtUrlSession() override {
        shared_->orphaned = true;
        if (shared_->inFlight == 0 && shared_->manager)
            shared_->manager->deleteLater();
    }

    void get(const QUrl &url, Completion completion) override {
        QNetworkRequest request(url);
        // Qt's transfer timer is coarse and may fire up to 5% early; never give up sooner
        // than asked.
        request.setTransferTimeout(sessions::timerMs(config_.transferTimeoutSeconds / 0.95));
        QNetworkReply *reply = shared_->manager->get(request);
        ++shared_->inFlight;
        ++sessions::inFlight;
        if (config_.totalTimeoutSeconds > 0) {
            // Parented to the reply: it dies with it, so it never fires on a finished one.
            auto *deadline = new QTimer(reply);
            deadline->setSingleShot(true);
            deadline->setTimerType(Qt::PreciseTimer);
            deadline->setInterval(sessions::timerMs(config_.totalTimeoutSeconds));
            QObject::connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
            deadline->start();
        }
        QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply, delegate = delegate_] {
            AuthChallenge c;
            c.hasServerTrust = !reply->sslConfiguration().peerCertificateChain().isEmpty();
            if (delegate && delegate->didReceiveChallenge(c) == ChallengeDisposition::UseCredential)
                reply->ignoreSslErrors();
        });
        auto body = std::make_shared<QByteArray>();
        auto tooLarge = std::make_shared<bool>(false);
        const qint64 cap = config_.maxBodyBytes;
        auto drain = [reply, body, tooLarge, cap] {
            if (*tooLarge || !reply->isOpen())
                return;
            *body += reply->readAll();
            if (cap >= 0 && body->size() > cap) {
                *tooLarge = true;
                body->clear();
                reply->abort();
            }
        };
        QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
        QObject::connect(reply, &QNetworkReply::finished, reply,
                         [reply, body, tooLarge, drain, shared = shared_,
                          completion = std::move(completion)]() mutable {
                             drain();
                             UrlResponse response;
                             response.httpStatus =
                                 reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                             if (*tooLarge) {
                                 response.error = QStringLiteral("response body too large");
                             } else if (completedHttpAnswer(*reply)) {
                                 response.transportOk = true;
                                 response.body = std::move(*body);
                             } else {
                                 response.error = reply->errorString();
                             }
                             reply->deleteLater();
                             --sessions::inFlight;
                             if (--shared->inFlight == 0 && shared->orphaned && shared->manager)
                                 shared->manager->deleteLater();
                             // Exactly once, even if the completion aborts replies itself.
                             if (auto done = std::exchange(completion, nullptr))
                                 done(response);
                         });
    }

    std::size_t requestsInFlight() const override { return shared_->inFlight; }

private:
    // Shared with the replies, which may finish after the session is gone: the manager (one
    // per session, as trust is decided per connection) goes once the last of them has.
    struct Shared {
        QPointer<QNetworkAccessManager> manager;
        std::size_t inFlight = 0;
        bool orphaned = false;
    };

    const UrlSessionConfig config_;
    const std::shared_ptr<SessionDelegate> delegate_;
    const std::shared_ptr<Shared> shared_;
};

} // namespace

std::shared_ptr<UrlSession> UrlSession::create(const UrlSessionConfig &config,
                                               std::shared_ptr<SessionDelegate> delegate) {
    return std::make_shared<QtUrlSession>(config, std::move(delegate));
}

std::size_t UrlSession::allRequestsInFlight() {
    return sessions::inFlight;
}

void UrlSession::abortAll() {
    if (!QCoreApplication::instance())
        return;
    sessions::abortDeviceRequests();
    for (QNetworkReply *reply :
         QCoreApplication::instance()->findChildren<QNetworkReply *>(Qt::FindChildrenRecursively))
        if (reply->isRunning())
            reply->abort();
    // The aborted replies, and managers whose sessions are gone, go now: the loop may not turn
    // again.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace knobly
