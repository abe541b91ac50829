#pragma once

#include "BonjourBrowser.h"

#include <QString>

#include <map>
#include <memory>
#include <vector>

namespace knobly {

// A DNS-SD stand-in whose services a test announces and resolves by hand.
class ScriptedService final : public BonjourService {
public:
    ScriptedService(QString name, QString type) : name_(std::move(name)), type_(std::move(type)) {}

    QString name() const override { return name_; }
    QString type() const override { return type_; }
    std::optional<std::vector<QHostAddress>> addresses() const override { return addresses_; }
    std::optional<TxtRecord> txtRecord() const override { return txt_; }
    void resolve(double timeoutSeconds, Resolved resolved, NotResolved notResolved) override;

    // Test side.
    void setAddresses(std::optional<std::vector<QHostAddress>> addresses) {
        addresses_ = std::move(addresses);
    }
    void setTxt(std::optional<TxtRecord> txt) { txt_ = std::move(txt); }
    void deliverResolved() const;
    void deliverNotResolved() const;
    int resolveCalls() const { return resolveCalls_; }
    double lastTimeout() const { return lastTimeout_; }

    static TxtRecord txtOf(const std::vector<QByteArray> &entries);

private:
    QString name_;
    QString type_;
    std::optional<std::vector<QHostAddress>> addresses_;
    std::optional<TxtRecord> txt_;
    Resolved resolved_;
    NotResolved notResolved_;
    int resolveCalls_ = 0;
    double lastTimeout_ = 0;
};

class ScriptedBonjour;

class ScriptedBrowser final : public BonjourBrowser {
public:
    explicit ScriptedBrowser(std::shared_ptr<std::vector<ScriptedBrowser *>> registry);
    ~ScriptedBrowser() override;

    void searchForServices(const QString &type, const QString &domain, Found found) override;
    void stop() override {
        searching_ = false;
        ++stops_;
    }

    QString type() const { return type_; }
    QString domain() const { return domain_; }
    bool searching() const { return searching_; }
    int stops() const { return stops_; }
    // Reports a service as the real browser would, if searching.
    void announce(const std::shared_ptr<ScriptedService> &service, bool moreComing = false);

private:
    std::shared_ptr<std::vector<ScriptedBrowser *>> registry_;
    QString type_;
    QString domain_;
    Found found_;
    bool searching_ = false;
    int stops_ = 0;
};

// Hands out scripted browsers and finds them again by service type.
class ScriptedBonjour {
public:
    std::unique_ptr<BonjourBrowser> makeBrowser() {
        return std::make_unique<ScriptedBrowser>(browsers_);
    }
    ScriptedBrowser *browserFor(const QString &type) const;
    std::size_t liveBrowsers() const { return browsers_->size(); }

private:
    std::shared_ptr<std::vector<ScriptedBrowser *>> browsers_ =
        std::make_shared<std::vector<ScriptedBrowser *>>();
};

} // namespace knobly
