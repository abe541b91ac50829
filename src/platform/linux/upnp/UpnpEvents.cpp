// The device's UPnP events (GUPnP): its MediaRenderer description is found, its
// RenderingControl and AVTransport subscribed, and what their LastChange carries handed on.
#include "DeviceEvents.h"
#include "DirectProxyResolver.h"
#include "LastChange.h"
#include "MainQueue.h"
#include "UrlSession.h"

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>
#include <libxml/parser.h>

#include <QAbstractEventDispatcher>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QUdpSocket>

#include <algorithm>
#include <set>

namespace knobly {

namespace {

const char *const kServices[] = {"urn:schemas-upnp-org:service:RenderingControl:1",
                                 "urn:schemas-upnp-org:service:AVTransport:1"};
constexpr double kFirstRetrySeconds = 2;
constexpr double kLastRetrySeconds = 300;
// GUPnP drops a first event that overtakes the answer to its SUBSCRIBE: a service not heard
// from this long after subscribing is asked again, a few times.
constexpr double kFirstEventSeconds = 1.5;
constexpr int kFirstEventTries = 8;
constexpr guint kAfterAnswerMs = 20;
constexpr guint kLongestHoldMs = 2000;

// The host of "1.2.3.4", "1.2.3.4:443", "[fe80::1]:443" or "fe80::1".
QHostAddress hostOf(const QString &address) {
    QHostAddress host(address);
    if (!host.isNull())
        return host;
    QString h = address;
    if (h.startsWith(QLatin1Char('[')))
        h = h.mid(1, h.indexOf(QLatin1Char(']')) - 1);
    else
        h = h.left(h.lastIndexOf(QLatin1Char(':')));
    return QHostAddress(h);
}

// The local address a connection to `device` leaves from: the only one the callback server
// should listen on, and one the device can reach. Connecting a datagram socket sends nothing.
QHostAddress localAddressFacing(const QHostAddress &device) {
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(device, 9);
    return socket.state() == QAbstractSocket::ConnectedState ? socket.localAddress()
                                                             : QHostAddress();
}

struct GUnref {
    void operator()(gpointer p) const {
        if (p)
            g_object_unref(p);
    }
};
template <typename T> using GPtr = std::unique_ptr<T, GUnref>;

// The MediaRenderer's <device> element: the root device, or one listed under it.
xmlNode *rendererElement(xmlNode *node) {
    for (; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        if (xmlStrEqual(node->name, BAD_CAST "device")) {
            for (xmlNode *c = node->children; c; c = c->next)
                if (c->type == XML_ELEMENT_NODE && xmlStrEqual(c->name, BAD_CAST "deviceType")) {
                    xmlChar *type = xmlNodeGetContent(c);
                    const bool renderer =
                        type && xmlStrstr(type, BAD_CAST ":device:MediaRenderer:") != nullptr;
                    xmlFree(type);
                    if (renderer)
                        return node;
                }
        }
        if (xmlNode *inner = rendererElement(node->children))
            return inner;
    }
    return nullptr;
}

class UpnpEvents final : public DeviceEvents {
    struct Service {
        GPtr<GUPnPServiceProxy> proxy;
        bool heard = false;           // an event since subscribing
        std::uint64_t generation = 0; // which subscription a first-event check is for
    };

public:
    UpnpEvents(const QString &address, const QUrl &description, Callbacks callbacks)
        : callbacks_(std::move(callbacks)), host_(hostOf(address)) {
        UrlSessionConfig config;
        config.transferTimeoutSeconds = 3;
        config.totalTimeoutSeconds = 10;
        config.maxBodyBytes = 256 * 1024;
        session_ = UrlSession::createForDevice(config, nullptr);
        if (description.isValid() && description.scheme() == QLatin1String("http"))
            candidates_.push_back(description);
        if (!host_.isNull())
            for (const int port : {49152, 59152}) {
                QUrl url;
                url.setScheme(QStringLiteral("http"));
                url.setHost(host_.toString());
                url.setPort(port);
                url.setPath(QStringLiteral("/description.xml"));
                candidates_.push_back(url);
            }
        find(0);
    }

    ~UpnpEvents() override { drop(); }

    void resubscribe() override {
        if (services_.empty()) {
            if (!finding_)
                find(0);
            return;
        }
        for (Service &service : services_) {
            gupnp_service_proxy_set_subscribed(service.proxy.get(), FALSE);
            subscribe(service, 0);
        }
    }

    bool alive() const override { return alive_; }
    QDateTime lastEvent() const override { return lastEvent_; }
    QUrl description() const override { return location_; }

private:
    // Asks the candidates in turn; after the last, tries again later, less and less often.
    void find(std::size_t index) {
        finding_ = index < candidates_.size();
        if (!finding_) {
            retryLater();
            return;
        }
        const QUrl url = candidates_[index];
        session_->get(url, [this, token = std::weak_ptr<char>(token_), index,
                            url](const UrlResponse &response) {
            if (token.expired())
                return;
            if (response.isOk() && build(response.body, url)) {
                finding_ = false;
                retrySeconds_ = kFirstRetrySeconds;
                return;
            }
            find(index + 1);
        });
    }

    void retryLater() {
        MainQueue::main().asyncAfter(retrySeconds_, [this, token = std::weak_ptr<char>(token_)] {
            if (!token.expired() && services_.empty() && !finding_)
                find(0);
        });
        retrySeconds_ = std::min(retrySeconds_ * 2, kLastRetrySeconds);
    }

    bool build(const QByteArray &body, const QUrl &location) {
        const QHostAddress local = localAddressFacing(host_);
        if (local.isNull())
            return false;
        xmlDoc *xml = xmlReadMemory(body.constData(), int(body.size()), nullptr, nullptr,
                                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (!xml)
            return false;
        GPtr<GUPnPXMLDoc> doc(gupnp_xml_doc_new(xml)); // owns xml from here
        xmlNode *element = rendererElement(xmlDocGetRootElement(xml));
        if (!element)
            return false;
        // The callback server listens on this address only.
        GPtr<GInetAddress> address(
            g_inet_address_new_from_string(local.toString().toUtf8().constData()));
        // Any free port: GSSDP picks a datagram port and the callback server takes the same
        // number for TCP, where it may be taken; another pick then.
        GError *error = nullptr;
        GPtr<GUPnPContext> context;
        useDirectProxyResolverByDefault(); // a local device: no proxy
        for (int tries = 0; !context && tries < 8; ++tries) {
            g_clear_error(&error);
            context.reset(
                gupnp_context_new_for_address(address.get(), 0, GSSDP_UDA_VERSION_1_0, &error));
        }
        if (!context) {
            qWarning("knobly: no UPnP events from %s: %s", qUtf8Printable(host_.toString()),
                     error ? error->message : "no context");
            g_clear_error(&error);
            return false;
        }
        g_signal_connect(gupnp_context_get_session(context.get()), "request-queued",
                         G_CALLBACK(&UpnpEvents::onRequestQueued), this);
        // Always the literal address: servers refuse a Host header with a name.
        const QByteArray base =
            location.toString(QUrl::RemoveQuery | QUrl::RemoveFragment).toUtf8();
        GUri *urlBase = g_uri_parse(base.constData(), G_URI_FLAGS_NONE, nullptr);
        if (!urlBase)
            return false;
        GPtr<GUPnPDeviceInfo> device(GUPNP_DEVICE_INFO(g_object_new(
            GUPNP_TYPE_DEVICE_PROXY, "resource-factory", gupnp_resource_factory_get_default(),
            "context", context.get(), "location", base.constData(), "url-base", urlBase, "document",
            doc.get(), "element", element, nullptr)));
        g_uri_unref(urlBase);
        std::vector<Service> services;
        for (const char *type : kServices) {
            GUPnPServiceInfo *info = gupnp_device_info_get_service(device.get(), type);
            if (!info)
                return false;
            services.push_back({GPtr<GUPnPServiceProxy>(GUPNP_SERVICE_PROXY(info))});
        }
        context_ = std::move(context);
        device_ = std::move(device);
        services_ = std::move(services);
        location_ = location;
        for (Service &service : services_) {
            gupnp_service_proxy_add_notify(service.proxy.get(), "LastChange", G_TYPE_STRING,
                                           &UpnpEvents::onLastChange, this);
            g_signal_connect(service.proxy.get(), "subscription-lost",
                             G_CALLBACK(&UpnpEvents::onLost), this);
            subscribe(service, 0);
        }
        return true;
    }

    // Subscribes and waits for the first event, which holds the whole state.
    void subscribe(Service &service, int tries) {
        service.heard = false;
        setAlive(false);
        gupnp_service_proxy_set_subscribed(service.proxy.get(), TRUE);
        const auto generation = ++service.generation;
        MainQueue::main().asyncAfter(kFirstEventSeconds, [this, token = std::weak_ptr<char>(token_),
                                                          proxy = service.proxy.get(), generation,
                                                          tries] {
            if (token.expired())
                return;
            for (Service &s : services_)
                if (s.proxy.get() == proxy && s.generation == generation && !s.heard &&
                    tries + 1 < kFirstEventTries && gupnp_service_proxy_get_subscribed(proxy)) {
                    gupnp_service_proxy_set_subscribed(proxy, FALSE);
                    subscribe(s, tries + 1);
                }
        });
    }

    // This object, for GLib callbacks that may come after it is gone.
    using Watch = std::pair<UpnpEvents *, std::weak_ptr<char>>;
    Watch *watch() { return new Watch(this, token_); }
    static void unwatch(gpointer w, GClosure *) { delete static_cast<Watch *>(w); }

    // A SUBSCRIBE on its way. GUPnP 1.6.3 drops an event that reaches us before its answer
    // (which carries the SID events are checked against), and devices often send the first
    // one, the whole state, that fast: events to this subscription's callback wait until the
    // answers are in.
    static void onRequestQueued(SoupSession *, SoupMessage *message, gpointer data) {
        if (qstrcmp(soup_message_get_method(message), "SUBSCRIBE") != 0)
            return;
        auto *self = static_cast<UpnpEvents *>(data);
        self->pendingSubscribes_.insert(message);
        const QByteArray callback(
            soup_message_headers_get_one(soup_message_get_request_headers(message), "Callback"));
        const QUrl url(QString::fromUtf8(callback.mid(1, callback.size() - 2)));
        if (url.isValid() && !url.path().isEmpty())
            soup_server_add_early_handler(gupnp_context_get_server(self->context_.get()),
                                          url.path().toUtf8().constData(),
                                          &UpnpEvents::holdEarlyEvent, self, nullptr);
        // Answered, or called off (which may end it without a word).
        g_signal_connect_data(message, "finished", G_CALLBACK(&UpnpEvents::onSubscribeDone),
                              self->watch(), &UpnpEvents::unwatch, GConnectFlags(0));
        g_object_weak_ref(G_OBJECT(message), &UpnpEvents::onSubscribeGone, self->watch());
    }

    static void holdEarlyEvent(SoupServer *, SoupServerMessage *message, const char *, GHashTable *,
                               gpointer data) {
        auto *self = static_cast<UpnpEvents *>(data);
        if (self->pendingSubscribes_.empty() ||
            qstrcmp(soup_server_message_get_method(message), "NOTIFY") != 0)
            return;
        soup_server_message_pause(message);
        self->held_.push_back(SOUP_SERVER_MESSAGE(g_object_ref(message)));
        self->releaseHeldAfter(kLongestHoldMs); // should an answer never come
    }

    static void onSubscribeDone(SoupMessage *message, gpointer data) {
        const auto &[self, token] = *static_cast<Watch *>(data);
        if (!token.expired())
            self->subscribeSettled(message);
    }

    static void onSubscribeGone(gpointer data, GObject *message) {
        auto *watch = static_cast<Watch *>(data);
        if (!watch->second.expired())
            watch->first->subscribeSettled(reinterpret_cast<SoupMessage *>(message));
        delete watch;
    }

    void subscribeSettled(SoupMessage *message) {
        if (pendingSubscribes_.erase(message) && pendingSubscribes_.empty())
            releaseHeldAfter(kAfterAnswerMs); // once GUPnP has read the SID
    }

    void releaseHeldAfter(guint ms) {
        g_timeout_add_full(
            G_PRIORITY_DEFAULT, ms,
            [](gpointer w) -> gboolean {
                const auto &[self, token] = *static_cast<Watch *>(w);
                if (!token.expired())
                    self->releaseHeld();
                return G_SOURCE_REMOVE;
            },
            watch(), [](gpointer w) { delete static_cast<Watch *>(w); });
    }

    void releaseHeld() {
        for (SoupServerMessage *message : std::exchange(held_, {})) {
            soup_server_message_unpause(message);
            g_object_unref(message);
        }
    }

    void updateAlive() {
        setAlive(std::all_of(services_.begin(), services_.end(),
                             [](const Service &s) { return s.heard; }));
    }

    void drop() {
        releaseHeld();
        if (context_)
            g_signal_handlers_disconnect_by_data(gupnp_context_get_session(context_.get()), this);
        for (const Service &service : services_) {
            GUPnPServiceProxy *proxy = service.proxy.get();
            g_signal_handlers_disconnect_by_data(proxy, this);
            gupnp_service_proxy_remove_notify(proxy, "LastChange", &UpnpEvents::onLastChange, this);
            gupnp_service_proxy_set_subscribed(proxy, FALSE);
        }
        services_.clear();
        device_.reset();
        context_.reset();
    }

    void setAlive(bool alive) {
        if (alive_ == alive)
            return;
        alive_ = alive;
        if (callbacks_.aliveChanged)
            callbacks_.aliveChanged();
    }

    static void onLastChange(GUPnPServiceProxy *proxy, const char *, GValue *value, gpointer data) {
        auto *self = static_cast<UpnpEvents *>(data);
        self->lastEvent_ = QDateTime::currentDateTimeUtc();
        for (Service &s : self->services_)
            if (s.proxy.get() == proxy)
                s.heard = true;
        self->updateAlive();
        const char *text = G_VALUE_HOLDS_STRING(value) ? g_value_get_string(value) : nullptr;
        if (!text)
            return;
        const DeviceEvent event = decodeLastChange(QByteArray(text));
        if (!event.isEmpty() && self->callbacks_.changed)
            self->callbacks_.changed(event);
    }

    // A renewal refused (the device restarted, or forgot us) or not answered: GUPnP gives up
    // on that subscription, so subscribe afresh, later and later while it fails.
    static void onLost(GUPnPServiceProxy *proxy, GError *, gpointer data) {
        auto *self = static_cast<UpnpEvents *>(data);
        self->setAlive(false);
        MainQueue::main().asyncAfter(
            self->retrySeconds_, [self, proxy, token = std::weak_ptr<char>(self->token_)] {
                if (token.expired())
                    return;
                for (Service &service : self->services_)
                    if (service.proxy.get() == proxy && !gupnp_service_proxy_get_subscribed(proxy))
                        self->subscribe(service, 0);
            });
        self->retrySeconds_ = std::min(self->retrySeconds_ * 2, kLastRetrySeconds);
    }

    Callbacks callbacks_;
    const QHostAddress host_;
    std::shared_ptr<UrlSession> session_;
    std::vector<QUrl> candidates_;
    bool finding_ = false;
    double retrySeconds_ = kFirstRetrySeconds;
    GPtr<GUPnPContext> context_;
    GPtr<GUPnPDeviceInfo> device_;
    std::vector<Service> services_;
    std::set<SoupMessage *> pendingSubscribes_;
    std::vector<SoupServerMessage *> held_; // events waiting for a SUBSCRIBE's answer
    QUrl location_;
    bool alive_ = false;
    QDateTime lastEvent_;
    // Work queued for later checks this before touching the object.
    const std::shared_ptr<char> token_ = std::make_shared<char>();
};

} // namespace

std::unique_ptr<DeviceEvents> DeviceEvents::create(const QString &address, const QUrl &description,
                                                   Callbacks callbacks) {
    return std::make_unique<UpnpEvents>(address, description, std::move(callbacks));
}

// GUPnP attaches its work to the thread's default GLib context: Qt must be running exactly
// that loop on this thread.
QString DeviceEvents::unusableReason() {
    const QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return QStringLiteral("no event loop runs on this thread yet");
    if (!dispatcher->inherits("QEventDispatcherGlib"))
        return QStringLiteral("Qt runs its own event loop here (%1), not GLib's: the device's "
                              "events need GLib's (is QT_NO_GLIB set?)")
            .arg(QLatin1String(dispatcher->metaObject()->className()));
    if (g_main_context_get_thread_default() != nullptr ||
        !g_main_context_is_owner(g_main_context_default()))
        return QStringLiteral("Qt's GLib loop here is not the default context");
    return {};
}

} // namespace knobly
