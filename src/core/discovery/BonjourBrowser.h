#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace knobly {

// One service a browser found. Callbacks run on the main thread.
class BonjourService {
public:
    using Resolved = std::function<void()>;
    using NotResolved = std::function<void()>;

    virtual ~BonjourService() = default;

    virtual QString name() const = 0;
    virtual QString type() const = 0; // e.g. "_airplay._tcp."

    // Socket addresses in this platform's struct sockaddr layout, in the order they came;
    // nothing before the first resolution.
    virtual std::optional<std::vector<QByteArray>> addresses() const = 0;
    // The TXT record in DNS-SD wire form (length-prefixed strings); nothing without one.
    virtual std::optional<QByteArray> txtRecordData() const = 0;

    // `resolved` may run several times as addresses arrive; `notResolved` runs once when
    // nothing resolved within the timeout.
    virtual void resolve(double timeoutSeconds, Resolved resolved, NotResolved notResolved) = 0;
};

// A DNS-SD browser for one service type. Callbacks run on the main thread.
class BonjourBrowser {
public:
    using Found = std::function<void(std::shared_ptr<BonjourService> service, bool moreComing)>;

    virtual ~BonjourBrowser() = default;

    // type like "_airplay._tcp.", domain like "local.".
    virtual void searchForServices(const QString &type, const QString &domain, Found found) = 0;
    virtual void stop() = 0;

    // The platform's browser, chosen at link time.
    static std::unique_ptr<BonjourBrowser> create();
};

} // namespace knobly
