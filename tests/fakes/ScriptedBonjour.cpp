#include "ScriptedBonjour.h"

#include <algorithm>

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

TxtRecord ScriptedService::txtOf(const std::vector<QByteArray> &entries) {
    TxtRecord record;
    for (const QByteArray &e : entries)
        record.push_back(txtEntry(e));
    return record;
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
