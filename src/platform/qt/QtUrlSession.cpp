#include "UrlSession.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace knobly {

namespace {

std::atomic<std::size_t> g_liveSessions{0};
std::atomic<std::size_t> g_requestsInFlight{0};
std::atomic<std::size_t> g_detachedRunning{0}; // threads let go of by their own completion

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

// What the session object and its thread share. Work reaches the thread through a queue
// under our own mutex and a wake-up byte on a pipe, rather than through Qt's posted events,
// so that every hand-over is a synchronisation thread sanitizers can see.
struct Core {
    std::mutex mutex;
    std::deque<std::function<void()>> work;
    bool stopping = false;
    int wake[2] = {-1, -1};
    // Lives on the session thread, made and destroyed there.
    QNetworkAccessManager *manager = nullptr;
    std::atomic<bool> detached{false};
    std::atomic<bool> served{false}; // the event loop is over; only thread exit remains

    ~Core() {
        for (int fd : wake)
            if (fd >= 0)
                ::close(fd);
    }

    void post(std::function<void()> item) {
        {
            std::lock_guard lock(mutex);
            work.push_back(std::move(item));
        }
        poke();
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        poke();
    }

    void poke() const {
        const char byte = 1;
        [[maybe_unused]] const auto n = ::write(wake[1], &byte, 1);
    }
};

// Every session's core, so that the program can call off all requests when it ends.
std::mutex g_registryMutex;
std::vector<std::weak_ptr<Core>> &registry() {
    static auto *cores = new std::vector<std::weak_ptr<Core>>;
    return *cores;
}

// Threads of sessions that ended inside their own completion: they cannot join themselves,
// so they wait here to be joined by someone else (a thread that exits on its own could still
// be tearing down its thread-local Qt state while the process ends).
struct Orphan {
    std::thread thread;
    std::shared_ptr<Core> core;
};
std::mutex g_orphanMutex;
std::vector<Orphan> &orphans() {
    static auto *list = new std::vector<Orphan>;
    return *list;
}

// Joins the orphans whose event loop is over (all of them when `all`).
void reapOrphans(bool all) {
    std::vector<Orphan> done;
    {
        std::lock_guard lock(g_orphanMutex);
        auto &list = orphans();
        for (auto it = list.begin(); it != list.end();) {
            if (all || it->core->served) {
                done.push_back(std::move(*it));
                it = list.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Orphan &o : done)
        o.thread.join();
}

class QtUrlSession final : public UrlSession, public std::enable_shared_from_this<QtUrlSession> {
public:
    QtUrlSession(const UrlSessionConfig &config, std::shared_ptr<SessionDelegate> delegate)
        : config_(config), delegate_(std::move(delegate)), core_(std::make_shared<Core>()) {
        if (::pipe2(core_->wake, O_CLOEXEC | O_NONBLOCK) != 0)
            core_->wake[0] = core_->wake[1] = -1;
        reapOrphans(false);
        ++g_liveSessions;
        {
            std::lock_guard lock(g_registryMutex);
            auto &cores = registry();
            std::erase_if(cores, [](const std::weak_ptr<Core> &c) { return c.expired(); });
            cores.push_back(core_);
        }
        thread_ = std::thread(&QtUrlSession::serve, core_, delegate_);
    }

    ~QtUrlSession() override {
        if (std::this_thread::get_id() == thread_.get_id()) {
            // The last reference went inside one of our own completions.
            core_->detached = true;
            ++g_detachedRunning;
            core_->stop();
            std::lock_guard lock(g_orphanMutex);
            orphans().push_back(Orphan{std::move(thread_), core_});
        } else {
            core_->stop();
            thread_.join();
        }
    }

    void get(const QUrl &url, Completion completion) override {
        ++inFlight_;
        ++g_requestsInFlight;
        core_->post([self = shared_from_this(), url, completion = std::move(completion)]() mutable {
            self->start(url, std::move(completion));
        });
    }

    std::size_t requestsInFlight() const override { return inFlight_.load(); }

private:
    struct Transfer {
        QByteArray body;
        bool tooLarge = false;
    };

    // The session's thread: a Qt event loop that runs posted work and the network replies.
    static void serve(std::shared_ptr<Core> core, std::shared_ptr<SessionDelegate> delegate) {
        {
            QNetworkAccessManager manager;
            core->manager = &manager;
            // Other challenges get the default answer: no credentials.
            QObject::connect(&manager, &QNetworkAccessManager::authenticationRequired,
                             [delegate](QNetworkReply *, QAuthenticator *) {
                                 if (delegate) {
                                     AuthChallenge c;
                                     c.method = AuthenticationMethod::HttpBasic;
                                     delegate->didReceiveChallenge(c);
                                 }
                             });
            QEventLoop loop;
            QSocketNotifier wake(core->wake[0], QSocketNotifier::Read);
            QObject::connect(&wake, &QSocketNotifier::activated, &loop, [&core, &loop] {
                char drain[64];
                while (::read(core->wake[0], drain, sizeof drain) > 0) {
                }
                for (;;) {
                    std::function<void()> item;
                    {
                        std::lock_guard lock(core->mutex);
                        if (core->work.empty()) {
                            if (core->stopping)
                                loop.quit();
                            break;
                        }
                        item = std::move(core->work.front());
                        core->work.pop_front();
                    }
                    item();
                }
            });
            loop.exec();
            // Finished replies go before the manager, all on this thread.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            core->manager = nullptr;
        }
        --g_liveSessions;
        if (core->detached)
            --g_detachedRunning;
        core->served = true;
    }

    void start(const QUrl &url, Completion completion) {
        QNetworkRequest request(url);
        // Qt's transfer timer is coarse and may fire up to 5% early; never give up sooner
        // than asked.
        const double ms = std::ceil(config_.transferTimeoutSeconds * 1000.0 / 0.95);
        request.setTransferTimeout(ms > 2e9 ? 2000000000 : static_cast<int>(std::max(1.0, ms)));
        QNetworkReply *reply = core_->manager->get(request);
        if (config_.totalTimeoutSeconds > 0) {
            // Parented to the reply: it dies with it, so it never fires on a finished one.
            auto *deadline = new QTimer(reply);
            deadline->setSingleShot(true);
            deadline->setTimerType(Qt::PreciseTimer);
            const double total = std::ceil(config_.totalTimeoutSeconds * 1000.0);
            deadline->setInterval(total > 2e9 ? 2000000000 : static_cast<int>(total));
            QObject::connect(deadline, &QTimer::timeout, reply, [reply] {
                if (reply->isRunning())
                    reply->abort();
            });
            deadline->start();
        }

        QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply, delegate = delegate_] {
            AuthChallenge c;
            c.method = AuthenticationMethod::ServerTrust;
            c.hasServerTrust = !reply->sslConfiguration().peerCertificateChain().isEmpty();
            if (delegate && delegate->didReceiveChallenge(c) == ChallengeDisposition::UseCredential)
                reply->ignoreSslErrors();
        });

        auto transfer = std::make_shared<Transfer>();
        const qint64 cap = config_.maxBodyBytes;
        auto drain = [reply, transfer, cap] {
            if (transfer->tooLarge || !reply->isOpen())
                return;
            transfer->body += reply->readAll();
            if (cap >= 0 && transfer->body.size() > cap) {
                transfer->tooLarge = true;
                transfer->body.clear();
                reply->abort();
            }
        };
        QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
        QObject::connect(reply, &QNetworkReply::finished, reply,
                         [self = shared_from_this(), reply, transfer, drain,
                          completion = std::move(completion)]() mutable {
                             drain();
                             // The connection outlives this call: hand over what it holds, so
                             // that the completion and the session live only while this runs.
                             finish(std::move(self), *reply, *transfer, std::move(completion));
                         });
    }

    static void finish(std::shared_ptr<QtUrlSession> self, QNetworkReply &reply, Transfer &transfer,
                       Completion completion) {
        UrlResponse response;
        response.httpStatus = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (transfer.tooLarge) {
            response.error = QStringLiteral("response body too large");
        } else if (completedHttpAnswer(reply)) {
            response.transportOk = true;
            response.body = std::move(transfer.body);
        } else {
            response.error = reply.errorString();
        }
        reply.deleteLater();
        if (completion)
            completion(response);
        completion = nullptr;
        --self->inFlight_;
        --g_requestsInFlight;
        // Dropping `self` may end the session; its destructor copes with that.
    }

    const UrlSessionConfig config_;
    const std::shared_ptr<SessionDelegate> delegate_;
    const std::shared_ptr<Core> core_;
    std::thread thread_;
    std::atomic<std::size_t> inFlight_{0};
};

} // namespace

std::shared_ptr<UrlSession> UrlSession::create(const UrlSessionConfig &config,
                                               std::shared_ptr<SessionDelegate> delegate) {
    return std::make_shared<QtUrlSession>(config, std::move(delegate));
}

std::size_t UrlSession::liveSessions() {
    return g_liveSessions.load();
}

bool UrlSession::abortAll(std::chrono::milliseconds wait) {
    std::vector<std::shared_ptr<Core>> cores;
    {
        std::lock_guard lock(g_registryMutex);
        for (const auto &weak : registry())
            if (auto core = weak.lock())
                cores.push_back(std::move(core));
    }
    for (const auto &core : cores)
        core->post([raw = core.get()] {
            if (raw->manager)
                for (QNetworkReply *reply : raw->manager->findChildren<QNetworkReply *>())
                    reply->abort();
        });
    cores.clear();
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (g_requestsInFlight.load() > 0 || g_detachedRunning.load() > 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reapOrphans(true);
    return true;
}

} // namespace knobly
