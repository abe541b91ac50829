#include "UrlSession.h"

#include <QAuthenticator>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>

#include <atomic>
#include <cmath>
#include <thread>

namespace knobly {

namespace {

std::atomic<std::size_t> g_liveSessions{0};

// An HTTP answer arrived (a status line was read) and was not cut short: the status code
// decides nothing for us, so HTTP-level errors count as a completed transfer.
bool completedHttpAnswer(const QNetworkReply &reply) {
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    const int e = reply.error();
    return e == QNetworkReply::NoError ||
           (e >= QNetworkReply::ContentAccessDenied && e <= QNetworkReply::UnknownContentError) ||
           (e >= QNetworkReply::InternalServerError && e <= QNetworkReply::UnknownServerError);
}

class QtUrlSession final : public UrlSession, public std::enable_shared_from_this<QtUrlSession> {
public:
    QtUrlSession(const UrlSessionConfig &config, std::shared_ptr<SessionDelegate> delegate)
        : config_(config), delegate_(std::move(delegate)), thread_(new QThread) {
        thread_->setObjectName(QStringLiteral("url-session"));
        context_ = new QObject;
        context_->moveToThread(thread_);
        thread_->start();
        ++g_liveSessions;
    }

    ~QtUrlSession() override {
        // Objects of the session thread must die there: a thread that finishes still runs
        // its pending deferred deletes.
        context_->deleteLater();
        thread_->quit();
        QThread *thread = thread_;
        if (QThread::currentThread() == thread) {
            // The last reference went away inside one of our own completions.
            std::thread([thread] {
                thread->wait();
                delete thread;
                --g_liveSessions;
            }).detach();
        } else {
            thread->wait();
            delete thread;
            --g_liveSessions;
        }
    }

    void get(const QUrl &url, Completion completion) override {
        ++inFlight_;
        QMetaObject::invokeMethod(
            context_,
            [self = shared_from_this(), url, completion = std::move(completion)]() mutable {
                self->start(url, std::move(completion));
            },
            Qt::QueuedConnection);
    }

    std::size_t requestsInFlight() const override { return inFlight_.load(); }

private:
    struct Transfer {
        QByteArray body;
        bool tooLarge = false;
    };

    void start(const QUrl &url, Completion completion) {
        if (!manager_) {
            manager_ = new QNetworkAccessManager(context_);
            // Other challenges get the default answer: no credentials.
            QObject::connect(manager_, &QNetworkAccessManager::authenticationRequired,
                             [delegate = delegate_](QNetworkReply *, QAuthenticator *) {
                                 if (delegate) {
                                     AuthChallenge c;
                                     c.method = AuthenticationMethod::HttpBasic;
                                     delegate->didReceiveChallenge(c);
                                 }
                             });
        }
        QNetworkRequest request(url);
        // Qt's transfer timer is coarse and may fire up to 5% early; never give up sooner
        // than asked.
        const double ms = std::ceil(config_.transferTimeoutSeconds * 1000.0 / 0.95);
        request.setTransferTimeout(ms > 2e9 ? 2000000000 : static_cast<int>(std::max(1.0, ms)));
        QNetworkReply *reply = manager_->get(request);

        QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                         [reply, delegate = delegate_](const QList<QSslError> &errors) {
                             AuthChallenge c;
                             c.method = AuthenticationMethod::ServerTrust;
                             c.hasServerTrust = !reply->sslConfiguration().peerCertificateChain().isEmpty();
                             c.errors = errors;
                             if (delegate && delegate->didReceiveChallenge(c) ==
                                                 ChallengeDisposition::UseCredential)
                                 reply->ignoreSslErrors();
                         });

        auto transfer = std::make_shared<Transfer>();
        const qint64 cap = config_.maxBodyBytes;
        auto drain = [reply, transfer, cap] {
            if (transfer->tooLarge)
                return;
            transfer->body += reply->readAll();
            if (cap >= 0 && transfer->body.size() > cap) {
                transfer->tooLarge = true;
                transfer->body.clear();
                reply->abort();
            }
        };
        QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
        QObject::connect(
            reply, &QNetworkReply::finished, reply,
            [self = shared_from_this(), reply, transfer, drain,
             completion = std::move(completion)]() mutable {
                // The connection outlives this call; hold the session only while it runs.
                const auto keepAlive = std::move(self);
                drain();
                UrlResponse response;
                response.httpStatus =
                    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                if (transfer->tooLarge) {
                    response.error = QStringLiteral("response body too large");
                } else if (completedHttpAnswer(*reply)) {
                    response.transportOk = true;
                    response.body = std::move(transfer->body);
                } else {
                    response.error = reply->errorString();
                }
                reply->deleteLater();
                if (completion)
                    completion(response);
                --keepAlive->inFlight_;
                // Dropping keepAlive may end the session; its destructor copes with that.
            });
    }

    const UrlSessionConfig config_;
    const std::shared_ptr<SessionDelegate> delegate_;
    QThread *thread_;
    QObject *context_ = nullptr;                  // lives on thread_
    QNetworkAccessManager *manager_ = nullptr;    // child of context_, made on thread_
    std::atomic<std::size_t> inFlight_{0};
};

} // namespace

std::shared_ptr<UrlSession> UrlSession::create(const UrlSessionConfig &config,
                                               std::shared_ptr<SessionDelegate> delegate) {
    return std::make_shared<QtUrlSession>(config, std::move(delegate));
}

std::size_t UrlSession::liveSessions() { return g_liveSessions.load(); }

} // namespace knobly
