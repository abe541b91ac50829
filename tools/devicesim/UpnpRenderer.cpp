#include "UpnpRenderer.h"
#include "DirectProxyResolver.h"

#include <libgupnp-av/gupnp-av.h>
#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

#include <QFile>

namespace devicesim {

namespace {

const char *const kUdn = "uuid:FF98F09C-4BD0-B022-4C1F-9A55FF98F09C";
const char *const kRc = "urn:schemas-upnp-org:service:RenderingControl:1";
const char *const kAvt = "urn:schemas-upnp-org:service:AVTransport:1";

QByteArray descriptionXml(const QString &name) {
    return QByteArray(R"(<?xml version="1.0" encoding="utf-8"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
 <specVersion><major>1</major><minor>0</minor></specVersion>
 <device>
  <deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>
  <friendlyName>)") +
           name.toHtmlEscaped().toUtf8() + R"(</friendlyName>
  <manufacturer>Linkplay Technology Inc.</manufacturer>
  <modelName>WiiM Pro</modelName>
  <UDN>)" + kUdn +
           R"(</UDN>
  <serviceList>
   <service>
    <serviceType>urn:schemas-upnp-org:service:RenderingControl:1</serviceType>
    <serviceId>urn:upnp-org:serviceId:RenderingControl</serviceId>
    <SCPDURL>/rc.xml</SCPDURL>
    <controlURL>/upnp/control/rendercontrol1</controlURL>
    <eventSubURL>/upnp/event/rendercontrol1</eventSubURL>
   </service>
   <service>
    <serviceType>urn:schemas-upnp-org:service:AVTransport:1</serviceType>
    <serviceId>urn:upnp-org:serviceId:AVTransport</serviceId>
    <SCPDURL>/avt.xml</SCPDURL>
    <controlURL>/upnp/control/rendertransport1</controlURL>
    <eventSubURL>/upnp/event/rendertransport1</eventSubURL>
   </service>
  </serviceList>
 </device>
</root>
)";
}

// A service description: its actions (name, then arguments as "in:Name:Variable" or
// "out:Name:Variable") and its state variables (name, type, evented).
QByteArray scpd(std::initializer_list<std::initializer_list<const char *>> actions,
                std::initializer_list<std::tuple<const char *, const char *, bool>> variables) {
    QByteArray x = R"(<?xml version="1.0"?>
<scpd xmlns="urn:schemas-upnp-org:service-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion><actionList>)";
    for (const auto &action : actions) {
        auto it = action.begin();
        x += "<action><name>" + QByteArray(*it++) + "</name><argumentList>";
        for (; it != action.end(); ++it) {
            const QList<QByteArray> parts = QByteArray(*it).split(':');
            x += "<argument><name>" + parts[1] + "</name><direction>" +
                 (parts[0] == "in" ? "in" : "out") + "</direction><relatedStateVariable>" +
                 parts[2] + "</relatedStateVariable></argument>";
        }
        x += "</argumentList></action>";
    }
    x += "</actionList><serviceStateTable>";
    for (const auto &[name, type, evented] : variables)
        x += QByteArray("<stateVariable sendEvents=\"") + (evented ? "yes" : "no") + "\"><name>" +
             name + "</name><dataType>" + type + "</dataType></stateVariable>";
    return x + "</serviceStateTable></scpd>\n";
}

QByteArray renderingControlScpd() {
    return scpd({{"GetVolume", "in:InstanceID:A_ARG_TYPE_InstanceID",
                  "in:Channel:A_ARG_TYPE_Channel", "out:CurrentVolume:Volume"},
                 {"SetVolume", "in:InstanceID:A_ARG_TYPE_InstanceID",
                  "in:Channel:A_ARG_TYPE_Channel", "in:DesiredVolume:Volume"},
                 {"GetMute", "in:InstanceID:A_ARG_TYPE_InstanceID", "in:Channel:A_ARG_TYPE_Channel",
                  "out:CurrentMute:Mute"},
                 {"SetMute", "in:InstanceID:A_ARG_TYPE_InstanceID", "in:Channel:A_ARG_TYPE_Channel",
                  "in:DesiredMute:Mute"}},
                {{"LastChange", "string", true},
                 {"Volume", "ui2", false},
                 {"Mute", "boolean", false},
                 {"A_ARG_TYPE_InstanceID", "ui4", false},
                 {"A_ARG_TYPE_Channel", "string", false}});
}

QByteArray avTransportScpd() {
    return scpd(
        {{"Play", "in:InstanceID:A_ARG_TYPE_InstanceID", "in:Speed:TransportPlaySpeed"},
         {"Pause", "in:InstanceID:A_ARG_TYPE_InstanceID"},
         {"Stop", "in:InstanceID:A_ARG_TYPE_InstanceID"},
         {"Next", "in:InstanceID:A_ARG_TYPE_InstanceID"},
         {"Previous", "in:InstanceID:A_ARG_TYPE_InstanceID"},
         {"GetTransportInfo", "in:InstanceID:A_ARG_TYPE_InstanceID",
          "out:CurrentTransportState:TransportState", "out:CurrentTransportStatus:TransportStatus",
          "out:CurrentSpeed:TransportPlaySpeed"}},
        {{"LastChange", "string", true},
         {"TransportState", "string", false},
         {"TransportStatus", "string", false},
         {"TransportPlaySpeed", "string", false},
         {"A_ARG_TYPE_InstanceID", "ui4", false}});
}

const char *transportState(const QString &status) {
    if (status == QLatin1String("play"))
        return "PLAYING";
    if (status == QLatin1String("pause"))
        return "PAUSED_PLAYBACK";
    if (status == QLatin1String("load"))
        return "TRANSITIONING";
    if (status == QLatin1String("none"))
        return "NO_MEDIA_PRESENT";
    return "STOPPED";
}

QByteArray didl(const UpnpRenderer::Snapshot &s) {
    GUPnPDIDLLiteWriter *writer = gupnp_didl_lite_writer_new(nullptr);
    GUPnPDIDLLiteItem *item = gupnp_didl_lite_writer_add_item(writer);
    auto *object = GUPNP_DIDL_LITE_OBJECT(item);
    gupnp_didl_lite_object_set_id(object, "1");
    gupnp_didl_lite_object_set_parent_id(object, "0");
    gupnp_didl_lite_object_set_restricted(object, TRUE);
    gupnp_didl_lite_object_set_upnp_class(object, "object.item.audioItem.musicTrack");
    gupnp_didl_lite_object_set_title(object, s.title.toUtf8().constData());
    gupnp_didl_lite_object_set_album(object, s.album.toUtf8().constData());
    GUPnPDIDLLiteContributor *artist = gupnp_didl_lite_object_add_artist(object);
    gupnp_didl_lite_contributor_set_name(artist, s.artist.toUtf8().constData());
    g_object_unref(artist);
    char *text = gupnp_didl_lite_writer_get_string(writer);
    QByteArray out(text);
    g_free(text);
    g_object_unref(item);
    g_object_unref(writer);
    return out;
}

QByteArray attr(const QByteArray &value) {
    return QString::fromUtf8(value).toHtmlEscaped().toUtf8();
}

} // namespace

struct UpnpRenderer::Gupnp {
    GUPnPContext *context = nullptr;
    GUPnPRootDevice *root = nullptr;
    GUPnPService *rc = nullptr, *avt = nullptr;

    void dropDevice() {
        g_clear_object(&rc);
        g_clear_object(&avt);
        g_clear_object(&root);
    }
    ~Gupnp() {
        dropDevice();
        g_clear_object(&context);
    }
};

UpnpRenderer::UpnpRenderer(QHostAddress bind, QString name, Hooks hooks)
    : bind_(std::move(bind)), name_(std::move(name)), hooks_(std::move(hooks)) {}

UpnpRenderer::~UpnpRenderer() = default;

quint16 UpnpRenderer::port() const {
    return g_ && g_->context ? gupnp_context_get_port(g_->context) : 0;
}

QUrl UpnpRenderer::description() const {
    if (!port())
        return {};
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(bind_.toString());
    url.setPort(port());
    url.setPath(QStringLiteral("/description.xml"));
    return url;
}

bool UpnpRenderer::start(quint16 port, QString *error) {
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!dir_.isValid())
        return fail(QStringLiteral("no temporary folder for the UPnP description"));
    for (const auto &[file, text] :
         {std::pair{"description.xml", descriptionXml(name_)},
          std::pair{"rc.xml", renderingControlScpd()}, std::pair{"avt.xml", avTransportScpd()}}) {
        QFile f(dir_.filePath(QLatin1String(file)));
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
            return fail(QStringLiteral("cannot write %1").arg(f.fileName()));
    }
    g_ = std::make_unique<Gupnp>();
    // Events go to subscribers on the local network, never through the system's proxy.
    knobly::useDirectProxyResolverByDefault();
    GInetAddress *address = g_inet_address_new_from_string(bind_.toString().toUtf8().constData());
    GError *gerror = nullptr;
    // With any free port, GSSDP's datagram port number may be taken for TCP: another pick.
    for (int tries = 0; !g_->context && tries < (port ? 1 : 8); ++tries) {
        g_clear_error(&gerror);
        g_->context = gupnp_context_new_for_address(address, port, GSSDP_UDA_VERSION_1_0, &gerror);
    }
    g_object_unref(address);
    if (!g_->context) {
        const QString why = QStringLiteral("UPnP on %1 port %2: %3")
                                .arg(bind_.toString())
                                .arg(port)
                                .arg(QString::fromUtf8(gerror ? gerror->message : "failed"));
        g_clear_error(&gerror);
        g_.reset();
        return fail(why);
    }
    // Counts what subscribers ask for, as the device would see it.
    g_signal_connect(gupnp_context_get_server(g_->context), "request-read",
                     G_CALLBACK(+[](SoupServer *, SoupServerMessage *message, gpointer data) {
                         auto *self = static_cast<UpnpRenderer *>(data);
                         if (qstrcmp(soup_server_message_get_method(message), "SUBSCRIBE") != 0)
                             return;
                         SoupMessageHeaders *headers =
                             soup_server_message_get_request_headers(message);
                         const char *sid = soup_message_headers_get_one(headers, "SID");
                         const char *callback = soup_message_headers_get_one(headers, "Callback");
                         if (self->hooks_.subscribed)
                             self->hooks_.subscribed(sid != nullptr, QByteArray(callback));
                     }),
                     this);
    return host(error);
}

// The root device and its two services; made again to forget every subscriber.
bool UpnpRenderer::host(QString *error) {
    GError *gerror = nullptr;
    g_->root = gupnp_root_device_new(g_->context, "description.xml",
                                     dir_.path().toUtf8().constData(), &gerror);
    if (!g_->root) {
        if (error)
            *error = QStringLiteral("UPnP description: %1")
                         .arg(QString::fromUtf8(gerror ? gerror->message : "failed"));
        g_clear_error(&gerror);
        return false;
    }
    auto *info = GUPNP_DEVICE_INFO(g_->root);
    g_->rc = GUPNP_SERVICE(gupnp_device_info_get_service(info, kRc));
    g_->avt = GUPNP_SERVICE(gupnp_device_info_get_service(info, kAvt));

    using Handler = void (*)(GUPnPService *, GUPnPServiceAction *, gpointer);
    const auto on = [this](GUPnPService *service, const char *action, Handler handler) {
        g_signal_connect(service, (QByteArray("action-invoked::") + action).constData(),
                         G_CALLBACK(handler), this);
    };
    const auto self = [](gpointer data) { return static_cast<UpnpRenderer *>(data); };
    // Instance 0 and the Master channel only, as the devices have.
    static const auto wrongInstance = [](GUPnPServiceAction *action, bool channel) {
        guint instance = 1;
        char *ch = nullptr;
        if (channel)
            gupnp_service_action_get(action, "InstanceID", G_TYPE_UINT, &instance, "Channel",
                                     G_TYPE_STRING, &ch, nullptr);
        else
            gupnp_service_action_get(action, "InstanceID", G_TYPE_UINT, &instance, nullptr);
        const bool wrong = instance != 0 || (channel && qstrcmp(ch, "Master") != 0);
        g_free(ch);
        if (wrong)
            gupnp_service_action_return_error(action, 702, "Invalid InstanceID or Channel");
        return wrong;
    };
    static UpnpRenderer *(*me)(gpointer) = self;
    on(g_->rc, "GetVolume", [](GUPnPService *, GUPnPServiceAction *a, gpointer d) {
        if (wrongInstance(a, true))
            return;
        gupnp_service_action_set(a, "CurrentVolume", G_TYPE_UINT,
                                 guint(me(d)->hooks_.read().volume), nullptr);
        gupnp_service_action_return_success(a);
    });
    on(g_->rc, "SetVolume", [](GUPnPService *, GUPnPServiceAction *a, gpointer d) {
        if (wrongInstance(a, true))
            return;
        guint volume = 1000;
        gupnp_service_action_get(a, "DesiredVolume", G_TYPE_UINT, &volume, nullptr);
        if (volume > 100)
            return gupnp_service_action_return_error(a, 501, "Action Failed");
        me(d)->hooks_.act("vol:" + QByteArray::number(volume));
        gupnp_service_action_return_success(a);
        me(d)->changed();
    });
    on(g_->rc, "GetMute", [](GUPnPService *, GUPnPServiceAction *a, gpointer d) {
        if (wrongInstance(a, true))
            return;
        gupnp_service_action_set(a, "CurrentMute", G_TYPE_BOOLEAN,
                                 gboolean(me(d)->hooks_.read().muted), nullptr);
        gupnp_service_action_return_success(a);
    });
    on(g_->rc, "SetMute", [](GUPnPService *, GUPnPServiceAction *a, gpointer d) {
        if (wrongInstance(a, true))
            return;
        gboolean mute = FALSE;
        gupnp_service_action_get(a, "DesiredMute", G_TYPE_BOOLEAN, &mute, nullptr);
        me(d)->hooks_.act(mute ? "mute:1" : "mute:0");
        gupnp_service_action_return_success(a);
        me(d)->changed();
    });
    static const std::pair<const char *, const char *> transport[] = {{"Play", "resume"},
                                                                      {"Pause", "pause"},
                                                                      {"Stop", "stop"},
                                                                      {"Next", "next"},
                                                                      {"Previous", "prev"}};
    for (const auto &[action, command] : transport)
        on(g_->avt, action, [](GUPnPService *, GUPnPServiceAction *a, gpointer d) {
            if (wrongInstance(a, false))
                return;
            for (const auto &[name, cmd] : transport)
                if (qstrcmp(gupnp_service_action_get_name(a), name) == 0)
                    me(d)->hooks_.act(cmd);
            gupnp_service_action_return_success(a);
            me(d)->changed();
        });
    on(g_->avt, "GetTransportInfo", [](GUPnPService *, GUPnPServiceAction *a, gpointer d) {
        if (wrongInstance(a, false))
            return;
        gupnp_service_action_set(a, "CurrentTransportState", G_TYPE_STRING,
                                 transportState(me(d)->hooks_.read().status),
                                 "CurrentTransportStatus", G_TYPE_STRING, "OK", "CurrentSpeed",
                                 G_TYPE_STRING, "1", nullptr);
        gupnp_service_action_return_success(a);
    });
    // A new subscriber's first event: the whole state.
    for (GUPnPService *service : {g_->rc, g_->avt})
        g_signal_connect(
            service, "query-variable::LastChange",
            G_CALLBACK(+[](GUPnPService *s, const char *, GValue *value, gpointer d) {
                g_value_init(value, G_TYPE_STRING);
                g_value_take_string(
                    value, g_strdup(me(d)->lastChange(s == me(d)->g_->rc, nullptr).constData()));
            }),
            this);
    sent_ = hooks_.read();
    return true;
}

// Instance 0's values for one service: all of them, or only those that differ from
// `previous`; empty when none does.
QByteArray UpnpRenderer::lastChange(bool renderingControl, const Snapshot *previous) const {
    const Snapshot now = hooks_.read();
    QByteArray values;
    if (renderingControl) {
        if (!previous || previous->volume != now.volume)
            values += R"(<Volume channel="Master" val=")" + QByteArray::number(now.volume) + "\"/>";
        if (!previous || previous->muted != now.muted)
            values +=
                R"(<Mute channel="Master" val=")" + QByteArray(now.muted ? "1" : "0") + "\"/>";
    } else {
        if (!previous || previous->status != now.status)
            values += QByteArray(R"(<TransportState val=")") + transportState(now.status) + "\"/>";
        if (!previous || previous->title != now.title || previous->artist != now.artist ||
            previous->album != now.album)
            values += R"(<CurrentTrackMetaData val=")" + attr(didl(now)) + "\"/>";
    }
    if (values.isEmpty())
        return {};
    return QByteArray("<Event xmlns=\"urn:schemas-upnp-org:metadata-1-0/") +
           (renderingControl ? "RCS/" : "AVT/") + "\"><InstanceID val=\"0\">" + values +
           "</InstanceID></Event>";
}

void UpnpRenderer::changed() {
    if (!g_ || !g_->root)
        return;
    const Snapshot now = hooks_.read();
    if (!silent_ && sent_) {
        for (const bool rc : {true, false}) {
            const QByteArray change = lastChange(rc, &*sent_);
            if (!change.isEmpty())
                gupnp_service_notify(rc ? g_->rc : g_->avt, "LastChange", G_TYPE_STRING,
                                     change.constData(), nullptr);
        }
    }
    sent_ = now;
}

void UpnpRenderer::forgetSubscribers() {
    if (!g_)
        return;
    g_->dropDevice();
    host(nullptr);
}

void UpnpRenderer::sendRaw(const QByteArray &service, const QByteArray &text) {
    if (g_ && g_->root)
        gupnp_service_notify(service == "rc" ? g_->rc : g_->avt, "LastChange", G_TYPE_STRING,
                             text.constData(), nullptr);
}

} // namespace devicesim
