#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace knobly {

class UrlSession;

// Asks our appcast (RSS with Sparkle's version fields) whether a newer Knobly is out.
// Main thread only.
class UpdateController {
public:
    struct Result {
        enum Kind { UpToDate, UpdateAvailable, NoFeedConfigured, Failed } kind = Failed;
        QString latestVersion;
        QUrl downloadPage;
        QString error;
    };

    // One release as the feed describes it.
    struct AppcastItem {
        QString version;      // compared with ours
        QString shortVersion; // for people; empty when the feed gives none
        QUrl link;            // the download page, or else the file itself; http(s) only
    };

    UpdateController(QString installedVersion, QUrl feedUrl);
    ~UpdateController();
    UpdateController(const UpdateController &) = delete;
    UpdateController &operator=(const UpdateController &) = delete;

    // `done` runs later on the main queue, never inside this call, and not at all once the
    // controller is gone.
    void checkForUpdates(std::function<void(Result)> done);

    // The newest release in the feed; nothing when the feed is unreadable or names none.
    static std::optional<AppcastItem> parseAppcast(const QByteArray &xml);

    // <0, 0 or >0 as a is older than, the same as or newer than b.
    static int compareVersions(const QString &a, const QString &b);

    // What a feed download means for the version installed.
    static Result evaluate(const QString &installedVersion, bool transportOk, int httpStatus,
                           const QByteArray &body, const QString &transportError);

    // What this build was made with: the feed (empty when none) and our own version.
    static QUrl configuredFeedUrl();
    static QString currentVersion();

private:
    const QString currentVersion_;
    const QUrl feedUrl_;
    std::shared_ptr<UrlSession> session_;
    // Completions hold a weak reference, so a check outliving us reports to no one.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace knobly
