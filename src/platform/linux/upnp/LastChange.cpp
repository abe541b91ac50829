#include "LastChange.h"

#include <libgupnp-av/gupnp-av.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <memory>

namespace knobly {

namespace {

// Far above any real event; a larger one is not worth parsing.
constexpr qsizetype kMaxBytes = 64 * 1024;
constexpr int kMaxText = 1024;

template <typename T, void (*Free)(T *)> struct Freer {
    void operator()(T *p) const { Free(p); }
};
using Doc = std::unique_ptr<xmlDoc, Freer<xmlDoc, xmlFreeDoc>>;
using XPathContext = std::unique_ptr<xmlXPathContext, Freer<xmlXPathContext, xmlXPathFreeContext>>;
using XPathObject = std::unique_ptr<xmlXPathObject, Freer<xmlXPathObject, xmlXPathFreeObject>>;

struct ParserUnref {
    void operator()(gpointer p) const { g_object_unref(p); }
};

// The `val` of instance 0's `name` for the Master channel: devices may list every channel,
// and only Master is the level people mean.
std::optional<QByteArray> masterValue(xmlXPathContext *context, const char *name) {
    const QByteArray path =
        QByteArray("//*[local-name()='InstanceID'][@val='0']/*[local-name()='") + name +
        "'][@channel='Master' or not(@channel)]/@val";
    XPathObject found(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(path.constData()), context));
    if (!found || !found->nodesetval || found->nodesetval->nodeNr < 1)
        return std::nullopt;
    xmlChar *text = xmlNodeGetContent(found->nodesetval->nodeTab[0]);
    if (!text)
        return std::nullopt;
    QByteArray value(reinterpret_cast<const char *>(text));
    xmlFree(text);
    return value.trimmed();
}

std::optional<std::int64_t> level(const std::optional<QByteArray> &text) {
    if (!text || text->isEmpty() || text->size() > 3)
        return std::nullopt;
    bool ok = false;
    const int value = text->toInt(&ok);
    if (!ok || value < 0 || value > 100 || !std::all_of(text->begin(), text->end(), ::isdigit))
        return std::nullopt;
    return value;
}

std::optional<bool> flag(const std::optional<QByteArray> &text) {
    if (!text)
        return std::nullopt;
    const QByteArray t = text->toLower();
    if (t == "1" || t == "true" || t == "yes")
        return true;
    if (t == "0" || t == "false" || t == "no")
        return false;
    return std::nullopt;
}

std::optional<QString> transportWord(const char *state) {
    static const std::pair<const char *, const char *> words[] = {
        {"PLAYING", "play"}, {"PAUSED_PLAYBACK", "pause"}, {"PAUSED_RECORDING", "pause"},
        {"STOPPED", "stop"}, {"TRANSITIONING", "load"},    {"NO_MEDIA_PRESENT", "none"}};
    for (const auto &[upnp, ours] : words)
        if (state && qstrcmp(state, upnp) == 0)
            return QString::fromLatin1(ours);
    return std::nullopt;
}

QString text(const char *utf8) {
    return QString::fromUtf8(utf8).left(kMaxText).trimmed();
}

QUrl artUrl(const QString &text) {
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() &&
                   (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
               ? url
               : QUrl();
}

void onObject(GUPnPDIDLLiteParser *, GUPnPDIDLLiteObject *object, gpointer out) {
    auto &track = *static_cast<std::optional<DeviceEvent::Track> *>(out);
    if (track)
        return; // the first object is the one playing
    track.emplace();
    track->title = text(gupnp_didl_lite_object_get_title(object));
    GList *artists = gupnp_didl_lite_object_get_artists(object);
    if (artists)
        track->artist =
            text(gupnp_didl_lite_contributor_get_name(GUPNP_DIDL_LITE_CONTRIBUTOR(artists->data)));
    g_list_free_full(artists, g_object_unref);
    if (track->artist.isEmpty())
        track->artist = text(gupnp_didl_lite_object_get_creator(object));
    track->album = text(gupnp_didl_lite_object_get_album(object));
    track->art = artUrl(text(gupnp_didl_lite_object_get_album_art(object)));
}

} // namespace

std::optional<DeviceEvent::Track> decodeTrackMetaData(const QByteArray &metaData) {
    // Devices send empty variables after a failed resubscription.
    const QByteArray trimmed = metaData.trimmed();
    if (trimmed.isEmpty() || trimmed == "NOT_IMPLEMENTED")
        return std::nullopt; // says nothing
    if (trimmed.size() > kMaxBytes)
        return std::nullopt;
    if (trimmed.startsWith('{')) {
        const QJsonObject json = QJsonDocument::fromJson(trimmed).object();
        if (json.isEmpty())
            return std::nullopt;
        const auto field = [&](const char *key) {
            return json.value(QLatin1String(key)).toString().left(kMaxText).trimmed();
        };
        return DeviceEvent::Track{field("title"), field("artist"), field("album"),
                                  artUrl(field("albumArtURI"))};
    }
    // gupnp-av reads in recovery mode, making an item of any fragment: malformed is nothing.
    if (!Doc(xmlReadMemory(trimmed.constData(), int(trimmed.size()), nullptr, nullptr,
                           XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING)))
        return std::nullopt;
    std::unique_ptr<GUPnPDIDLLiteParser, ParserUnref> parser(gupnp_didl_lite_parser_new());
    std::optional<DeviceEvent::Track> track;
    g_signal_connect(parser.get(), "object-available", G_CALLBACK(onObject), &track);
    GError *error = nullptr;
    const bool parsed =
        gupnp_didl_lite_parser_parse_didl(parser.get(), trimmed.constData(), &error);
    if (error) {
        const bool empty = error->code == G_MARKUP_ERROR_EMPTY;
        g_error_free(error);
        return empty ? std::optional(DeviceEvent::Track{}) : std::nullopt;
    }
    return parsed ? track : std::nullopt;
}

DeviceEvent decodeLastChange(const QByteArray &lastChange) {
    DeviceEvent event;
    if (lastChange.size() > kMaxBytes || lastChange.contains('\0'))
        return event;
    Doc doc(xmlReadMemory(lastChange.constData(), int(lastChange.size()), nullptr, nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc)
        return event;
    XPathContext context(xmlXPathNewContext(doc.get()));
    if (!context)
        return event;
    event.volume = level(masterValue(context.get(), "Volume"));
    event.muted = flag(masterValue(context.get(), "Mute"));

    // The transport's own variables have no channel: gupnp-av reads them.
    std::unique_ptr<GUPnPLastChangeParser, ParserUnref> parser(gupnp_last_change_parser_new());
    char *state = nullptr, *meta = nullptr;
    GError *error = nullptr;
    gupnp_last_change_parser_parse_last_change(
        parser.get(), 0, lastChange.constData(), &error, "TransportState", G_TYPE_STRING, &state,
        "CurrentTrackMetaData", G_TYPE_STRING, &meta, nullptr);
    if (error)
        g_error_free(error);
    event.transport = transportWord(state);
    if (meta)
        event.track = decodeTrackMetaData(QByteArray(meta));
    g_free(state);
    g_free(meta);
    return event;
}

} // namespace knobly
