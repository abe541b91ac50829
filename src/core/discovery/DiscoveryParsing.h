#pragma once

#include "BonjourBrowser.h"
#include "DeviceIdentity.h"
#include "WiiMDevice.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

namespace knobly {

// --- SSDP ---------------------------------------------------------------------------------

// The one datagram discovery sends: a search for UPnP media renderers.
QByteArray ssdpSearchDatagram();

enum class SsdpAnswerClass { wiimLike, renderer, other };

// Classifies the text of one SSDP answer (any header, any case).
SsdpAnswerClass classifySsdpAnswer(const QByteArray &datagram);

// The name a probe falls back on for an answer of that class ("WiiM Device", "Unknown").
// The answer's LOCATION (its UPnP description), when it is a plain http URL on the sender.
QUrl ssdpLocation(const QByteArray &datagram, const QHostAddress &sender);

QString ssdpFallbackName(SsdpAnswerClass answerClass);

// --- DNS-SD -------------------------------------------------------------------------------

// A TXT record to a key-to-value map: an empty key or one that is not UTF-8 is skipped, and
// the first of duplicate keys wins.
QMap<QString, QByteArray> txtRecordDictionary(const TxtRecord &record);

// What the TXT record and service name say about one resolved service.
struct ServiceClassification {
    bool recognised = false; // the brand shows in the TXT values or the service name
    QString name;
    QString model;
    DiscoverySource source = DiscoverySource::chromecast;
};

ServiceClassification classifyService(const QString &serviceName, const QString &serviceType,
                                      const std::optional<TxtRecord> &txtRecord);

// --- Identity probe ----------------------------------------------------------------------

// The record a getStatusEx answer confirms, named and labelled from the answer where it
// can be, else from the candidate's fallbacks; nothing when the answer does not show the brand.
std::optional<WiiMDevice> probedDevice(const std::optional<DeviceIdentity> &identity,
                                       const QString &name, const QString &ip, const QString &model,
                                       DiscoverySource source);

} // namespace knobly
