// DNS-SD browsing through avahi-daemon. One avahi client serves the whole process; browsers
// and resolutions hang their avahi objects off it while it is connected and drop them when
// it is not, so a daemon that starts late or restarts is picked up without anyone asking.
#include "AvahiQtPoll.h"
#include "BonjourBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>

#include <QCoreApplication>
#include <QDebug>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace knobly {

namespace {

// How long to wait before making a new client when the old one cannot go on.
constexpr int kRecreateDelayMs = 2000;
// Without a system bus the wait doubles up to this: one seldom appears later, and an idle
// program should not keep knocking.
constexpr int kNoBusDelayMaxMs = 60000;

int toMilliseconds(double seconds) {
    if (!(seconds > 0))
        return 0;
    const double ms = std::ceil(seconds * 1000.0);
    return ms > 2e9 ? 2000000000 : static_cast<int>(ms);
}

// avahi wants "_airplay._tcp" and "local" where DNS-SD callers write the trailing dot.
QByteArray withoutTrailingDot(const QString &s) {
    QByteArray out = s.toUtf8();
    if (out.endsWith('.'))
        out.chop(1);
    return out;
}

QHostAddress hostAddress(const AvahiAddress &address, AvahiIfIndex interface) {
    if (address.proto == AVAHI_PROTO_INET)
        return QHostAddress(qFromBigEndian(address.data.ipv4.address));
    if (address.proto == AVAHI_PROTO_INET6) {
        QHostAddress in6(address.data.ipv6.address);
        // A link-local address means nothing without the interface it was seen on.
        if (in6.isLinkLocal() && interface > 0)
            in6.setScopeId(QString::number(interface));
        return in6;
    }
    return {};
}

// The client library builds the resolver's list by prepending what the daemon sends, and the
// daemon sends its own prepended (reversed) list, so walking it from the head gives the
// strings in the order they were on the wire.
std::optional<TxtRecord> txtRecordOf(AvahiStringList *list) {
    if (!list)
        return std::nullopt;
    TxtRecord record;
    for (AvahiStringList *l = list; l; l = avahi_string_list_get_next(l))
        record.push_back(
            txtEntry(QByteArray(reinterpret_cast<const char *>(avahi_string_list_get_text(l)),
                                static_cast<qsizetype>(avahi_string_list_get_size(l)))));
    return record;
}

// Something holding avahi objects that belong to the shared client.
class ClientUser {
public:
    // The client is connected: make what is needed.
    virtual void clientUp(AvahiClient *client) = 0;
    // The client is gone or going: free everything made on it, do not call back anyone.
    virtual void clientDown() = 0;

protected:
    ~ClientUser() = default;
};

// The process's one avahi client, living on the main thread's event loop.
class AvahiSession {
public:
    // Made on first use; nothing without a QCoreApplication to run it.
    static AvahiSession *get() {
        if (!instance_) {
            auto *app = QCoreApplication::instance();
            if (!app)
                return nullptr;
            Q_ASSERT(QThread::currentThread() == app->thread());
            instance_ = new AvahiSession;
            // Tear down while the event loop's machinery still exists.
            qAddPostRoutine(&AvahiSession::shutdown);
            instance_->createClient();
        }
        return instance_;
    }
    static AvahiSession *existing() { return instance_; }

    void attach(ClientUser *user) {
        if (std::find(users_.begin(), users_.end(), user) == users_.end())
            users_.push_back(user);
    }
    void detach(ClientUser *user) {
        users_.erase(std::remove(users_.begin(), users_.end(), user), users_.end());
    }

    // Non-null only while the daemon is there to talk to.
    AvahiClient *connectedClient() const { return up_ ? client_ : nullptr; }

private:
    AvahiSession() {
        recreateTimer_.setSingleShot(true);
        QObject::connect(&recreateTimer_, &QTimer::timeout, [this] { recreateClient(); });
    }

    ~AvahiSession() {
        setConnected(false);
        if (client_)
            avahi_client_free(client_);
    }

    static void shutdown() {
        delete instance_;
        instance_ = nullptr;
    }

    void createClient() {
        int error = 0;
        constructing_ = true;
        // NO_FAIL: without a daemon the client waits for one rather than failing.
        AvahiClient *client = avahi_client_new(poll_.poll(), AVAHI_CLIENT_NO_FAIL,
                                               &AvahiSession::stateCallback, this, &error);
        constructing_ = false;
        if (!client) {
            // No system bus at all; NO_FAIL cannot help with that.
            noteUnavailable(error);
            recreateTimer_.start(noBusDelayMs_);
            noBusDelayMs_ = std::min(noBusDelayMs_ * 2, kNoBusDelayMaxMs);
            return;
        }
        noBusDelayMs_ = kRecreateDelayMs;
        client_ = client;
        stateChanged(avahi_client_get_state(client));
    }

    void recreateClient() {
        if (client_) {
            setConnected(false);
            avahi_client_free(client_);
            client_ = nullptr;
        }
        createClient();
    }

    static void stateCallback(AvahiClient *, AvahiClientState state, void *userdata) {
        auto *self = static_cast<AvahiSession *>(userdata);
        // avahi_client_new reports its first states before it returns the client; act on the
        // state it settles in once it has.
        if (!self->constructing_)
            self->stateChanged(state);
    }

    void stateChanged(AvahiClientState state) {
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
        case AVAHI_CLIENT_S_REGISTERING:
        case AVAHI_CLIENT_S_COLLISION:
            setConnected(true);
            break;
        case AVAHI_CLIENT_CONNECTING:
            setConnected(false);
            noteUnavailable(AVAHI_ERR_NO_DAEMON);
            break;
        case AVAHI_CLIENT_FAILURE: {
            setConnected(false);
            // Even with NO_FAIL a client whose daemon left is finished; a new one waits for
            // the next daemon. We are inside the client's own callback, so not here.
            const bool daemonLeft = avahi_client_errno(client_) == AVAHI_ERR_DISCONNECTED;
            recreateTimer_.start(daemonLeft ? 0 : kRecreateDelayMs);
            break;
        }
        }
    }

    void setConnected(bool up) {
        if (up == up_)
            return;
        up_ = up;
        // A user's reaction never reaches code outside this file, but it may detach others.
        const std::vector<ClientUser *> users = users_;
        for (ClientUser *user : users) {
            if (std::find(users_.begin(), users_.end(), user) == users_.end())
                continue;
            if (up)
                user->clientUp(client_);
            else
                user->clientDown();
        }
    }

    static void noteUnavailable(int error) {
        static bool noted = false;
        if (noted)
            return;
        noted = true;
        qDebug("Avahi is not available (%s); no local services will be found until it is",
               avahi_strerror(error));
    }

    AvahiQtPoll poll_;
    AvahiClient *client_ = nullptr;
    bool constructing_ = false;
    bool up_ = false;
    QTimer recreateTimer_;
    int noBusDelayMs_ = kRecreateDelayMs;
    std::vector<ClientUser *> users_;

    static inline AvahiSession *instance_ = nullptr;
};

class AvahiService final : public BonjourService, private ClientUser {
public:
    AvahiService(const char *name, QString type, AvahiIfIndex interface, AvahiProtocol protocol,
                 const char *domain)
        : name_(QString::fromUtf8(name)), type_(std::move(type)), avahiName_(name),
          avahiType_(withoutTrailingDot(type_)), avahiDomain_(domain), interface_(interface),
          protocol_(protocol) {}

    ~AvahiService() override { endResolution(); }

    QString name() const override { return name_; }
    QString type() const override { return type_; }
    std::optional<std::vector<QHostAddress>> addresses() const override { return addresses_; }
    std::optional<TxtRecord> txtRecord() const override { return txt_; }

    void resolve(double timeoutSeconds, Resolved resolved, NotResolved notResolved) override {
        // A new request replaces one still running, callbacks and all.
        endResolution();
        AvahiSession *session = AvahiSession::get();
        if (!session)
            return;
        resolved_ = std::move(resolved);
        notResolved_ = std::move(notResolved);
        // The guard cancels the timeout by going away, also from inside the timeout itself.
        timeoutGuard_ = std::make_unique<QObject>();
        QTimer::singleShot(toMilliseconds(timeoutSeconds), Qt::PreciseTimer, timeoutGuard_.get(),
                           [this] { timedOut(); });
        session->attach(this);
        if (AvahiClient *client = session->connectedClient())
            startResolver(client);
    }

private:
    void clientUp(AvahiClient *client) override {
        if (timeoutGuard_ && !resolver_)
            startResolver(client);
    }

    void clientDown() override { freeResolver(); }

    void startResolver(AvahiClient *client) {
        resolver_ = avahi_service_resolver_new(
            client, interface_, protocol_, avahiName_.constData(), avahiType_.constData(),
            avahiDomain_.constData(), AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0),
            &AvahiService::resolverCallback, this);
        // On failure the timeout still ends the request.
    }

    void freeResolver() {
        if (resolver_) {
            avahi_service_resolver_free(resolver_);
            resolver_ = nullptr;
        }
    }

    // Stops whatever is running without telling anyone.
    void endResolution() {
        freeResolver();
        timeoutGuard_.reset();
        if (AvahiSession *session = AvahiSession::existing())
            session->detach(this);
    }

    static void resolverCallback(AvahiServiceResolver *resolver, AvahiIfIndex interface,
                                 AvahiProtocol, AvahiResolverEvent event, const char *,
                                 const char *, const char *, const char *,
                                 const AvahiAddress *address, uint16_t, AvahiStringList *txt,
                                 AvahiLookupResultFlags, void *userdata) {
        auto *self = static_cast<AvahiService *>(userdata);
        if (resolver != self->resolver_)
            return;
        if (event == AVAHI_RESOLVER_FOUND && address) {
            const QHostAddress found = hostAddress(*address, interface);
            if (!self->addresses_)
                self->addresses_.emplace();
            if (!found.isNull() && std::find(self->addresses_->begin(), self->addresses_->end(),
                                             found) == self->addresses_->end())
                self->addresses_->push_back(found);
            self->txt_ = txtRecordOf(txt);
            self->finish(true);
        } else {
            self->finish(false);
        }
    }

    void timedOut() { finish(false); }

    void finish(bool resolved) {
        endResolution();
        // Taken out first: the callback may start another resolution or destroy us.
        const std::function<void()> callback =
            resolved ? std::move(resolved_) : std::move(notResolved_);
        resolved_ = nullptr;
        notResolved_ = nullptr;
        if (callback)
            callback();
    }

    const QString name_;
    const QString type_;
    const QByteArray avahiName_;
    const QByteArray avahiType_;
    const QByteArray avahiDomain_;
    const AvahiIfIndex interface_;
    const AvahiProtocol protocol_;

    std::optional<std::vector<QHostAddress>> addresses_;
    std::optional<TxtRecord> txt_;

    // Set while a resolution is running.
    std::unique_ptr<QObject> timeoutGuard_;
    AvahiServiceResolver *resolver_ = nullptr;
    Resolved resolved_;
    NotResolved notResolved_;
};

class AvahiBrowser final : public BonjourBrowser, private ClientUser {
public:
    ~AvahiBrowser() override { stop(); }

    void searchForServices(const QString &type, const QString &domain, Found found) override {
        stop();
        AvahiSession *session = AvahiSession::get();
        if (!session)
            return;
        type_ = type;
        avahiType_ = withoutTrailingDot(type);
        avahiDomain_ = withoutTrailingDot(domain);
        found_ = std::move(found);
        searching_ = true;
        session->attach(this);
        if (AvahiClient *client = session->connectedClient())
            startBrowser(client);
    }

    void stop() override {
        if (!searching_)
            return;
        searching_ = false;
        freeBrowser();
        retryGuard_.reset();
        found_ = nullptr;
        if (AvahiSession *session = AvahiSession::existing())
            session->detach(this);
    }

private:
    void clientUp(AvahiClient *client) override {
        if (searching_ && !browser_)
            startBrowser(client);
    }

    void clientDown() override {
        freeBrowser();
        retryGuard_.reset();
    }

    void startBrowser(AvahiClient *client) {
        browser_ = avahi_service_browser_new(
            client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, avahiType_.constData(),
            avahiDomain_.isEmpty() ? nullptr : avahiDomain_.constData(), AvahiLookupFlags(0),
            &AvahiBrowser::browserCallback, this);
        if (!browser_)
            retryLater();
    }

    void freeBrowser() {
        if (browser_) {
            avahi_service_browser_free(browser_);
            browser_ = nullptr;
        }
    }

    // The daemon gave up on this browser while still running; ask it again in a while.
    void retryLater() {
        retryGuard_ = std::make_unique<QObject>();
        QTimer::singleShot(kRecreateDelayMs, retryGuard_.get(), [this] {
            retryGuard_.reset();
            AvahiSession *session = AvahiSession::existing();
            AvahiClient *client = session ? session->connectedClient() : nullptr;
            if (searching_ && !browser_ && client)
                startBrowser(client);
        });
    }

    static void browserCallback(AvahiServiceBrowser *browser, AvahiIfIndex interface,
                                AvahiProtocol protocol, AvahiBrowserEvent event, const char *name,
                                const char *, const char *domain, AvahiLookupResultFlags,
                                void *userdata) {
        auto *self = static_cast<AvahiBrowser *>(userdata);
        if (browser != self->browser_)
            return;
        switch (event) {
        case AVAHI_BROWSER_NEW: {
            auto service =
                std::make_shared<AvahiService>(name, self->type_, interface, protocol, domain);
            // A copy: the callback may stop or destroy this browser.
            const Found found = self->found_;
            if (found)
                found(std::move(service), false);
            break;
        }
        case AVAHI_BROWSER_FAILURE:
            self->freeBrowser();
            self->retryLater();
            break;
        case AVAHI_BROWSER_REMOVE:
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
        case AVAHI_BROWSER_ALL_FOR_NOW:
            break;
        }
    }

    QString type_;
    QByteArray avahiType_;
    QByteArray avahiDomain_;
    Found found_;
    bool searching_ = false;
    AvahiServiceBrowser *browser_ = nullptr;
    std::unique_ptr<QObject> retryGuard_;
};

} // namespace

std::unique_ptr<BonjourBrowser> BonjourBrowser::create() {
    return std::make_unique<AvahiBrowser>();
}

} // namespace knobly
