#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace knobly {

// A TXT record as a DNS-SD backend hands it over: each string's key and value, in order.
using TxtRecord = std::vector<std::pair<QByteArray, QByteArray>>;

// One TXT string ("key=value", or a bare "key" with an empty value) split at its first '='.
inline std::pair<QByteArray, QByteArray> txtEntry(const QByteArray &text) {
    const qsizetype eq = text.indexOf('=');
    return eq < 0 ? std::pair(text, QByteArray()) : std::pair(text.left(eq), text.mid(eq + 1));
}

// One service a browser found. Callbacks run on the main thread.
class BonjourService {
public:
    using Resolved = std::function<void()>;
    using NotResolved = std::function<void()>;

    virtual ~BonjourService() = default;

    virtual QString name() const = 0;
    virtual QString type() const = 0; // e.g. "_airplay._tcp."

    // The addresses in the order they came; nothing before the first resolution.
    virtual std::optional<std::vector<QHostAddress>> addresses() const = 0;
    // Nothing without a TXT record.
    virtual std::optional<TxtRecord> txtRecord() const = 0;

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
