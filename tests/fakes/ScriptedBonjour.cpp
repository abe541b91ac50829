#include "ScriptedBonjour.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace knobly {

void ScriptedService::resolve(double timeoutSeconds, Resolved resolved, NotResolved notResolved) {
    ++resolveCalls_;
    lastTimeout_ = timeoutSeconds;
    resolved_ = std::move(resolved);
    notResolved_ = std::move(notResolved);
}

void ScriptedService::deliverResolved() const {
    if (resolved_)
        resolved_();
}

void ScriptedService::deliverNotResolved() const {
    if (notResolved_)
        notResolved_();
}

QByteArray ScriptedService::ipv4Blob(const char *dotted, quint16 port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, dotted, &a.sin_addr);
    return QByteArray(reinterpret_cast<const char *>(&a), sizeof a);
}

QByteArray ScriptedService::ipv6Blob(const char *text, quint16 port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    ::inet_pton(AF_INET6, text, &a.sin6_addr);
    return QByteArray(reinterpret_cast<const char *>(&a), sizeof a);
}

QByteArray ScriptedService::txtRecord(const std::vector<QByteArray> &entries) {
    QByteArray wire;
    for (const QByteArray &e : entries) {
        wire.append(static_cast<char>(std::min<qsizetype>(e.size(), 255)));
        wire.append(e.left(255));
    }
    return wire;
}

ScriptedBrowser::ScriptedBrowser(std::shared_ptr<std::vector<ScriptedBrowser *>> registry)
    : registry_(std::move(registry)) {
    registry_->push_back(this);
}

ScriptedBrowser::~ScriptedBrowser() {
    std::erase(*registry_, this);
}

void ScriptedBrowser::searchForServices(const QString &type, const QString &domain, Found found) {
    type_ = type;
    domain_ = domain;
    found_ = std::move(found);
    searching_ = true;
}

void ScriptedBrowser::announce(const std::shared_ptr<ScriptedService> &service, bool moreComing) {
    if (searching_ && found_)
        found_(service, moreComing);
}

ScriptedBrowser *ScriptedBonjour::browserFor(const QString &type) const {
    for (ScriptedBrowser *b : *browsers_)
        if (b->type() == type)
            return b;
    return nullptr;
}

} // namespace knobly
