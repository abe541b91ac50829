#include "DeviceSimulator.h"
#include "FakeMainQueue.h"
#include "Symbols.h"
#include "UpdateController.h"
#include "UrlSession.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace knobly;
using Result = UpdateController::Result;

namespace {

QByteArray feed(const QByteArray &items) {
    return R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>)" +
           items + "</channel></rss>\n";
}

QByteArray item(const char *version, const char *link = "https://k/", const char *more = "") {
    return QByteArray("<item><link>") + link + "</link><sparkle:version>" + version +
           "</sparkle:version>" + more + "</item>";
}

const QByteArray kFeed = feed(item("1.2.0") + item("1.1.0"));
// A valid feed just over the 1 MiB cap, so that only the cap refuses it.
const QByteArray kHuge = feed(item("2.0.0") + "<!--" + QByteArray(1024 * 1024, 'x') + "-->");
const QHash<QByteArray, QByteArray> kServed{{"/appcast.xml", kFeed}, {"/huge.xml", kHuge}};

TEST(UpdateController, FeedsAndVersions) {
    // clang-format off
    const std::pair<QByteArray, QString> feeds[] = { // version and link; "": rejected
        {feed(item("1.2.0", "https://a/1.2") + item("1.10.0", "https://a/1.10") + item("1.9.3")), "1.10.0 https://a/1.10"},
        {kHuge, "2.0.0 https://k/"},
        {feed(item("2.0.0", "https://a/b", "<sparkle:channel>beta</sparkle:channel>") + item("1.1.0")), "1.1.0 https://k/"},
        {feed(R"(<item><enclosure url="https://dl/f" sparkle:version="1.3.0"/></item>)"), "1.3.0 https://dl/f"},
        {feed(R"(<item><link>javascript:alert(1)</link><enclosure url="file:///etc/passwd" sparkle:version="1.6"/></item>)"), "1.6 "},
        {feed(R"(<item><link>file:///tmp/x</link><enclosure url="http://dl/f" sparkle:version="1.6"/></item>)"), "1.6 http://dl/f"},
        {feed("<item><link>https://a/</link><version>1.2.0</version></item>"), ""},
        {kFeed.chopped(12), ""},
        {kFeed + "<<<junk", ""},
    };
    const std::tuple<const char *, const char *, int> versions[] = {
        {"1.10.0", "1.9.3", 1}, {"1.2", "1.2.0", 0}, {"1.2.1", "1.2", 1}, {"2", "1.99.99", 1},
        {"1.2.0-beta1", "1.2.0", -1}, {"1.2.0-beta1", "1.1.9", 1}, {"1.2.0-beta2", "1.2.0-beta10", -1},
        {"1.2.0-beta1", "1.2.0-rc1", -1}, {"v1.2", " 1.2.0 ", 0}, {"1.2.0+build5", "1.2.0", 0},
    };
    // clang-format on
    for (const auto &[xml, expected] : feeds) {
        const auto found = UpdateController::parseAppcast(xml);
        EXPECT_EQ(found ? found->version + ' ' + found->link.toString() : "", expected)
            << xml.left(300).toStdString();
    }
    for (const auto &[a, b, s] : versions) {
        const int ab = UpdateController::compareVersions(QLatin1String(a), QLatin1String(b));
        const int ba = UpdateController::compareVersions(QLatin1String(b), QLatin1String(a));
        EXPECT_TRUE((ab > 0) - (ab < 0) == s && (ba > 0) - (ba < 0) == -s) << a << " vs " << b;
    }
}

// Feeds served from 127.0.0.1 on the Qt loop, which FakeMainQueue::runUntil turns.
TEST(CheckForUpdates, ReportsWhatTheFeedSays) {
    auto queue = std::make_shared<FakeMainQueue>();
    MainQueue::install(queue);
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    const QString local = QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
    std::vector<QByteArray> targets;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = server.nextPendingConnection()) // the server's children
            QObject::connect(s, &QTcpSocket::readyRead, s, [&targets, s] {
                if (!s->peek(1 << 16).endsWith("\r\n\r\n"))
                    return; // not the whole request yet
                targets.push_back(s->readAll().split(' ').value(1));
                const QByteArray body = kServed.value(targets.back());
                s->write((body.isEmpty() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") +
                         ("\r\nContent-Length: " + QByteArray::number(body.size())) +
                         "\r\nConnection: close\r\n\r\n" + body);
                s->disconnectFromHost();
            });
    });
    devicesim::DeviceSimulator sim; // self-signed: the feed gets real certificate checks
    ASSERT_TRUE(sim.start());
    // clang-format off
    const std::tuple<const char *, QUrl, Result::Kind, const char *, const char *> rows[] = {
        {"1.2.0", QUrl(local + "/appcast.xml"), Result::UpToDate, "1.2.0", ""},
        {"1.1.9", QUrl(local + "/appcast.xml"), Result::UpdateAvailable, "1.2.0", ""},
        {"1.0.0", QUrl(local + "/missing.xml"), Result::Failed, "", "404"},
        {"1.0.0", QUrl(local + "/huge.xml"), Result::Failed, "", "too large"},
        {"1.0.0", QUrl(), Result::NoFeedConfigured, "", ""},
        {"1.0.0", QUrl("http://127.0.0.1.knobly.example/appcast.xml"), Result::Failed, "", "https"},
        {"1.0.0", QUrl("ftp" + local.mid(4) + "/appcast.xml"), Result::Failed, "", "https"},
        {"1.0.0", QUrl("https://" + sim.address() + "/appcast.xml"), Result::Failed, "", ""},
    };
    // clang-format on
    for (const auto &[installed, url, kind, latest, error] : rows) {
        UpdateController controller(QLatin1String(installed), url);
        std::optional<Result> result;
        controller.checkForUpdates([&](Result r) { result = std::move(r); });
        EXPECT_FALSE(result) << "answered inside the call";
        ASSERT_TRUE(queue->runUntil([&] { return result.has_value(); }));
        EXPECT_EQ(result->kind, kind) << url.toString().toStdString();
        EXPECT_EQ(result->latestVersion, QLatin1String(latest));
        EXPECT_TRUE(result->error.contains(error)) << result->error.toStdString();
    }
    EXPECT_TRUE(sim.requests().empty());
    int calls = 0; // none once the controller is gone
    UpdateController(QStringLiteral("1.0.0"), QUrl(local + "/appcast.xml"))
        .checkForUpdates([&](Result) { ++calls; });
    EXPECT_TRUE(queue->runUntil([] { return UrlSession::allRequestsInFlight() == 0; }));
    queue->runPending();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(targets.size(), 5u) << "refused addresses never reach the server";
    MainQueue::install(nullptr);
}

TEST(Symbols, EveryNameDrawsAndUnknownNamesGiveNothing) {
    // clang-format off
    const QStringList names = QStringLiteral(
        "hifispeaker.fill hifispeaker.2.fill speaker.fill speaker.slash.fill speaker.wave.1.fill "
        "speaker.wave.2.fill speaker.wave.3.fill checkmark.circle.fill xmark.circle.fill music.note "
        "keyboard plusminus arrow.down.circle arrow.clockwise network backward.fill forward.fill "
        "play.fill pause.fill").split(u' ');
    // clang-format on
    for (const QString &name : names)
        EXPECT_EQ(std::pair(systemSymbol(name).value_or(SymbolImage{}).image.size(),
                            sfSymbol(name, 14).value_or(SymbolImage{}).image.size()),
                  std::pair(QSize(64, 64), QSize(28, 28)))
            << name.toStdString();
    for (const char *name : {"", "nope", "PLAY.FILL", "../symbols/play.fill", "play..fill"})
        EXPECT_FALSE(systemSymbol(QLatin1String(name))) << name;
}

} // namespace
