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

TEST(UpdateController, ParseAppcastFindsTheNewestRelease) {
    // clang-format off
    struct Row { QByteArray xml; const char *version, *link; }; // version "": rejected
    const Row rows[] = {
        {feed(item("1.2.0", "https://a/1.2") + item("1.10.0", "https://a/1.10") + item("1.9.3")), "1.10.0", "https://a/1.10"},
        {kHuge, "2.0.0", "https://k/"},
        {feed(item("2.0.0", "https://a/b", "<sparkle:channel>beta</sparkle:channel>") + item("1.1.0")), "1.1.0", "https://k/"},
        {feed(R"(<item><enclosure url="https://dl/f" sparkle:version="1.3.0"/></item>)"), "1.3.0", "https://dl/f"},
        {feed(R"(<item><link>javascript:alert(1)</link><enclosure url="file:///etc/passwd" sparkle:version="1.6"/></item>)"), "1.6", ""},
        {feed(R"(<item><link>file:///tmp/x</link><enclosure url="http://dl/f" sparkle:version="1.6"/></item>)"), "1.6", "http://dl/f"},
        {feed("<item><link>https://a/</link><version>1.2.0</version></item>"), "", ""},
        {QByteArray(kFeed).replace("</item>", "</itm>"), "", ""},
        {kFeed.chopped(12), "", ""},
        {kFeed + "<<<junk", "", ""},
    };
    // clang-format on
    for (const Row &row : rows) {
        const auto found =
            UpdateController::parseAppcast(row.xml).value_or(UpdateController::AppcastItem{});
        EXPECT_EQ(found.version, QLatin1String(row.version)) << row.xml.left(300).toStdString();
        EXPECT_EQ(found.link, QUrl(QLatin1String(row.link))) << row.xml.left(300).toStdString();
    }
}

TEST(UpdateController, CompareVersionsBothWays) {
    // clang-format off
    struct Row { const char *a, *b; int sign; };
    const Row rows[] = {
        {"1.10.0", "1.9.3", 1}, {"1.2", "1.2.0", 0}, {"1.2.1", "1.2", 1}, {"2", "1.99.99", 1},
        {"1.2.0-beta1", "1.2.0", -1}, {"1.2.0-beta1", "1.1.9", 1}, {"1.2.0-beta2", "1.2.0-beta10", -1},
        {"1.2.0-beta1", "1.2.0-rc1", -1}, {"v1.2", " 1.2.0 ", 0}, {"1.2.0+build5", "1.2.0", 0},
    };
    // clang-format on
    for (const auto &[a, b, s] : rows) {
        const int ab = UpdateController::compareVersions(QLatin1String(a), QLatin1String(b));
        const int ba = UpdateController::compareVersions(QLatin1String(b), QLatin1String(a));
        EXPECT_TRUE((ab > 0) - (ab < 0) == s && (ba > 0) - (ba < 0) == -s) << a << " vs " << b;
    }
}

// Serves feeds from 127.0.0.1 on the Qt loop, which FakeMainQueue::runUntil turns.
class CheckForUpdates : public ::testing::Test {
protected:
    void SetUp() override {
        MainQueue::install(queue);
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        local = QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) // the server's children
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { answer(s); });
        });
    }
    void TearDown() override {
        // Session threads post to the queue until they end.
        EXPECT_TRUE(queue->runUntil([] { return UrlSession::liveSessions() == 0; }));
        MainQueue::install(nullptr);
    }
    void answer(QTcpSocket *s) {
        if (!s->peek(1 << 16).endsWith("\r\n\r\n"))
            return; // not the whole request yet
        targets.push_back(s->readAll().split(' ').value(1));
        const QByteArray &path = targets.back();
        const QByteArray body = path == "/appcast.xml" ? kFeed : path == "/huge.xml" ? kHuge : "";
        s->write((body.isEmpty() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") +
                 ("\r\nContent-Length: " + QByteArray::number(body.size())) +
                 "\r\nConnection: close\r\n\r\n" + body);
        s->disconnectFromHost();
    }

    std::shared_ptr<FakeMainQueue> queue = std::make_shared<FakeMainQueue>();
    QTcpServer server;
    QString local;
    std::vector<QByteArray> targets;
};

TEST_F(CheckForUpdates, ReportsWhatTheFeedSays) {
    devicesim::DeviceSimulator sim; // self-signed: the feed gets real certificate checks
    ASSERT_TRUE(sim.start());
    // clang-format off
    struct Row { const char *installed; QUrl url; Result::Kind kind; const char *latest, *error; };
    const Row rows[] = {
        {"1.2.0", QUrl(local + "/appcast.xml"), Result::UpToDate, "1.2.0", ""},
        {"1.1.9", QUrl(local + "/appcast.xml"), Result::UpdateAvailable, "1.2.0", ""},
        {"1.0.0", QUrl(local + "/missing.xml"), Result::Failed, "", "404"},
        {"1.0.0", QUrl(local + "/huge.xml"), Result::Failed, "", "too large"},
        {"1.0.0", QUrl(), Result::NoFeedConfigured, "", ""},
        {"1.0.0", QUrl("http://knobly.example/appcast.xml"), Result::Failed, "", "https"},
        {"1.0.0", QUrl("http://127.0.0.1.knobly.example/appcast.xml"), Result::Failed, "", "https"},
        {"1.0.0", QUrl("ftp" + local.mid(4) + "/appcast.xml"), Result::Failed, "", "https"},
        {"1.0.0", QUrl("https://" + sim.address() + "/appcast.xml"), Result::Failed, "", ""},
    };
    // clang-format on
    for (const Row &row : rows) {
        SCOPED_TRACE(row.url.toString().toStdString());
        UpdateController controller(QLatin1String(row.installed), row.url);
        std::optional<Result> result;
        controller.checkForUpdates([&](Result r) { result = std::move(r); });
        EXPECT_FALSE(result) << "answered inside the call";
        ASSERT_TRUE(queue->runUntil([&] { return result.has_value(); }));
        EXPECT_EQ(result->kind, row.kind) << result->error.toStdString();
        EXPECT_EQ(result->latestVersion, QLatin1String(row.latest));
        EXPECT_TRUE(result->error.contains(row.error)) << result->error.toStdString();
    }
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_EQ(targets.size(), 4u); // refused addresses never reach the server
}

TEST_F(CheckForUpdates, NoAnswerOnceTheControllerIsGone) {
    int calls = 0;
    UpdateController(QStringLiteral("1.0.0"), QUrl(local + "/appcast.xml"))
        .checkForUpdates([&](Result) { ++calls; });
    EXPECT_TRUE(queue->runUntil([] { return UrlSession::liveSessions() == 0; }));
    queue->runPending();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(targets.size(), 1u);
}

TEST(Symbols, EveryNameDrawsAndUnknownNamesGiveNothing) {
    // clang-format off
    const QStringList names = QStringLiteral(
        "hifispeaker.fill hifispeaker.2.fill speaker.fill speaker.slash.fill speaker.wave.1.fill "
        "speaker.wave.2.fill speaker.wave.3.fill checkmark.circle.fill xmark.circle.fill music.note "
        "keyboard plusminus arrow.down.circle arrow.clockwise network backward.fill forward.fill "
        "play.fill pause.fill").split(u' ');
    // clang-format on
    for (const QString &name : names) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_EQ(systemSymbol(name).value_or(SymbolImage{}).image.size(), QSize(64, 64));
        EXPECT_EQ(sfSymbol(name, 14).value_or(SymbolImage{}).image.size(), QSize(28, 28));
    }
    for (const char *name : {"", "nope", "PLAY.FILL", "../symbols/play.fill", "play..fill"})
        EXPECT_FALSE(systemSymbol(QLatin1String(name))) << name;
}

} // namespace
