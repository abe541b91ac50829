#include "UpdateController.h"

#include "KnoblyBuild.h"
#include "MainQueue.h"
#include "UrlSession.h"

#include <QVersionNumber>
#include <QXmlStreamReader>

#include <utility>
#include <vector>

// Set by the build; an empty feed means this build leaves updates to the package manager.
#ifndef KNOBLY_APPCAST_URL
#define KNOBLY_APPCAST_URL ""
#endif

namespace knobly {

namespace {

const QString kSparkleNamespace =
    QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

constexpr double kTransferTimeoutSeconds = 15.0;
constexpr qint64 kMaxFeedBytes = 1024 * 1024;

// The update feed is fetched from the open internet: certificates are checked as usual.
class StrictTrust final : public SessionDelegate {
public:
    ChallengeDisposition didReceiveChallenge(const AuthChallenge &) override {
        return ChallengeDisposition::PerformDefaultHandling;
    }
};

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Digits without leading zeros, so that numbers of any length compare by length, then text.
int compareNumbers(QStringView a, QStringView b) {
    while (a.startsWith(u'0'))
        a = a.mid(1);
    while (b.startsWith(u'0'))
        b = b.mid(1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// "v1.2.0-beta1+5" is release 1.2 and pre-release "beta1"; build metadata says nothing about
// order.
std::pair<QVersionNumber, QString> parseVersion(const QString &text) {
    QString s = text.trimmed();
    if (s.size() > 1 && (s[0] == u'v' || s[0] == u'V') && isAsciiDigit(s[1]))
        s.remove(0, 1);
    qsizetype suffix = 0;
    const QVersionNumber numbers = QVersionNumber::fromString(s, &suffix).normalized();
    QString rest = s.mid(suffix);
    if (const qsizetype plus = rest.indexOf(u'+'); plus >= 0)
        rest.truncate(plus);
    while (!rest.isEmpty() && !rest[0].isLetterOrNumber())
        rest.remove(0, 1);
    return {numbers, rest};
}

// "beta2" < "beta10" < "rc1": runs of digits compare as numbers, words alphabetically, and
// a number sorts before a word.
int comparePreReleases(const QString &a, const QString &b) {
    auto tokens = [](const QString &s) {
        std::vector<std::pair<bool, QString>> out; // (numeric, text)
        qsizetype i = 0;
        while (i < s.size()) {
            if (!s[i].isLetterOrNumber()) {
                ++i;
                continue;
            }
            const bool numeric = isAsciiDigit(s[i]);
            qsizetype j = i;
            while (j < s.size() && s[j].isLetterOrNumber() && isAsciiDigit(s[j]) == numeric)
                ++j;
            const QStringView run = QStringView(s).mid(i, j - i);
            out.emplace_back(numeric, numeric ? run.toString() : run.toString().toLower());
            i = j;
        }
        return out;
    };
    const auto ta = tokens(a);
    const auto tb = tokens(b);
    for (std::size_t k = 0; k < ta.size() && k < tb.size(); ++k) {
        const auto &[numA, textA] = ta[k];
        const auto &[numB, textB] = tb[k];
        if (numA != numB)
            return numA ? -1 : 1;
        const int c = numA ? compareNumbers(textA, textB) : textA.compare(textB);
        if (c != 0)
            return c < 0 ? -1 : 1;
    }
    if (ta.size() != tb.size())
        return ta.size() < tb.size() ? -1 : 1;
    return 0;
}

// Only web pages may come out of the feed: we hand the link to the desktop to open.
QUrl webLink(const QString &text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return {};
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("https") || scheme == QLatin1String("http") ? url : QUrl();
}

bool isPlain(const QXmlStreamReader &reader, QLatin1String name) {
    return reader.namespaceUri().isEmpty() && reader.name() == name;
}

bool isSparkle(const QXmlStreamReader &reader, QLatin1String name) {
    return reader.namespaceUri() == kSparkleNamespace && reader.name() == name;
}

QString elementText(QXmlStreamReader &reader) {
    return reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
}

// One <item>; the reader is on its start and ends on its end. Nothing for an item with no
// version, or one on a channel other than the default (betas and the like).
std::optional<UpdateController::AppcastItem> readItem(QXmlStreamReader &reader) {
    QString version, shortVersion, enclosureVersion, enclosureShortVersion;
    QUrl link, enclosureUrl;
    bool sawEnclosure = false;
    bool otherChannel = false;
    while (reader.readNextStartElement()) {
        if (isPlain(reader, QLatin1String("link"))) {
            link = webLink(elementText(reader));
        } else if (isSparkle(reader, QLatin1String("version"))) {
            version = elementText(reader);
        } else if (isSparkle(reader, QLatin1String("shortVersionString"))) {
            shortVersion = elementText(reader);
        } else if (isSparkle(reader, QLatin1String("channel"))) {
            otherChannel = !elementText(reader).isEmpty();
        } else if (isPlain(reader, QLatin1String("enclosure")) && !sawEnclosure) {
            sawEnclosure = true;
            const auto attributes = reader.attributes();
            enclosureUrl = webLink(attributes.value(QLatin1String("url")).toString());
            enclosureVersion =
                attributes.value(kSparkleNamespace, QLatin1String("version")).toString().trimmed();
            enclosureShortVersion =
                attributes.value(kSparkleNamespace, QLatin1String("shortVersionString"))
                    .toString()
                    .trimmed();
            reader.skipCurrentElement();
        } else {
            reader.skipCurrentElement();
        }
    }
    if (version.isEmpty())
        version = enclosureVersion;
    if (shortVersion.isEmpty())
        shortVersion = enclosureShortVersion;
    if (version.isEmpty() || otherChannel)
        return std::nullopt;
    return UpdateController::AppcastItem{version, shortVersion,
                                         link.isEmpty() ? enclosureUrl : link};
}

} // namespace

UpdateController::UpdateController(QString installedVersion, QUrl feedUrl)
    : currentVersion_(std::move(installedVersion)), feedUrl_(std::move(feedUrl)) {}

UpdateController::~UpdateController() = default;

QUrl UpdateController::configuredFeedUrl() {
    return QUrl(QStringLiteral(KNOBLY_APPCAST_URL));
}

QString UpdateController::currentVersion() {
    return QString::fromLatin1(build::version);
}

std::optional<UpdateController::AppcastItem> UpdateController::parseAppcast(const QByteArray &xml) {
    QXmlStreamReader reader(xml);
    if (!reader.readNextStartElement() || !isPlain(reader, QLatin1String("rss")))
        return std::nullopt;
    std::optional<AppcastItem> newest;
    while (reader.readNextStartElement()) {
        if (!isPlain(reader, QLatin1String("channel"))) {
            reader.skipCurrentElement();
            continue;
        }
        while (reader.readNextStartElement()) {
            if (!isPlain(reader, QLatin1String("item"))) {
                reader.skipCurrentElement();
                continue;
            }
            auto item = readItem(reader);
            // On a tie the earlier item stays: feeds list the newest first.
            if (item && (!newest || compareVersions(item->version, newest->version) > 0))
                newest = std::move(item);
        }
    }
    // A feed cut short or broken anywhere is not one to act on.
    while (!reader.atEnd() && !reader.hasError())
        reader.readNext();
    if (reader.hasError())
        return std::nullopt;
    return newest;
}

int UpdateController::compareVersions(const QString &a, const QString &b) {
    const auto [numbersA, preA] = parseVersion(a);
    const auto [numbersB, preB] = parseVersion(b);
    if (const int c = QVersionNumber::compare(numbersA, numbersB); c != 0)
        return c < 0 ? -1 : 1;
    if (preA.isEmpty() != preB.isEmpty())
        return preA.isEmpty() ? 1 : -1;
    return comparePreReleases(preA, preB);
}

UpdateController::Result UpdateController::evaluate(const QString &installedVersion,
                                                    bool transportOk, int httpStatus,
                                                    const QByteArray &body,
                                                    const QString &transportError) {
    Result result;
    result.kind = Result::Failed;
    if (!transportOk) {
        result.error =
            QStringLiteral("The update server could not be reached (%1).")
                .arg(transportError.isEmpty() ? QStringLiteral("no answer") : transportError);
        return result;
    }
    if (httpStatus < 200 || httpStatus > 299) {
        result.error =
            QStringLiteral("The update server answered with HTTP status %1.").arg(httpStatus);
        return result;
    }
    const auto item = parseAppcast(body);
    if (!item) {
        result.error = QStringLiteral("The update feed could not be read.");
        return result;
    }
    result.kind = compareVersions(item->version, installedVersion) > 0 ? Result::UpdateAvailable
                                                                       : Result::UpToDate;
    result.latestVersion = item->shortVersion.isEmpty() ? item->version : item->shortVersion;
    result.downloadPage = item->link;
    return result;
}

void UpdateController::checkForUpdates(std::function<void(Result)> done) {
    auto report = [alive = std::weak_ptr<int>(alive_), done = std::move(done)](Result result) {
        MainQueue::main().async([alive, done, result = std::move(result)] {
            if (alive.lock() && done)
                done(result);
        });
    };

    if (feedUrl_.isEmpty()) {
        Result result;
        result.kind = Result::NoFeedConfigured;
        report(std::move(result));
        return;
    }
    const QString scheme = feedUrl_.scheme().toLower();
    const QString host = feedUrl_.host().toLower();
    // Plain http only for a feed on this machine, which is what the tests serve.
    const bool local = host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost");
    if (!feedUrl_.isValid() || host.isEmpty() ||
        !(scheme == QLatin1String("https") || (scheme == QLatin1String("http") && local))) {
        Result result;
        result.kind = Result::Failed;
        result.error = QStringLiteral("The update feed address %1 is not a secure (https) one.")
                           .arg(feedUrl_.toDisplayString());
        report(std::move(result));
        return;
    }

    if (!session_) {
        UrlSessionConfig config;
        config.transferTimeoutSeconds = kTransferTimeoutSeconds;
        config.maxBodyBytes = kMaxFeedBytes;
        session_ = UrlSession::create(config, std::make_shared<StrictTrust>());
    }
    session_->get(feedUrl_, [current = currentVersion_, report](const UrlResponse &response) {
        report(evaluate(current, response.transportOk, response.httpStatus, response.body,
                        response.error));
    });
}

} // namespace knobly
