#include "UpdateController.h"

#include "DeviceSimulator.h"
#include "FakeMainQueue.h"
#include "UrlSession.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

using namespace knobly;
using Result = UpdateController::Result;

namespace {

QByteArray feed(const QByteArray &items) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Knobly</title><link>https://knobly.example/</link>
)" + items +
           "</channel></rss>\n";
}

// ---------------------------------------------------------------------------------------
// parseAppcast

struct Expected {
    QString version;
    QString shortVersion;
    QString link;
};

struct ParseCase {
    const char *name;
    QByteArray xml;
    std::optional<Expected> expected;
};

std::vector<ParseCase> parseCases() {
    return {
        {"NewestOfSeveralInAnyOrder",
         feed("<item><title>1.2</title><link>https://knobly.example/1.2</link>"
              "<sparkle:version>1.2.0</sparkle:version></item>"
              "<item><title>1.10</title><link>https://knobly.example/1.10</link>"
              "<sparkle:version>1.10.0</sparkle:version></item>"
              "<item><title>1.9.3</title><link>https://knobly.example/1.9.3</link>"
              "<sparkle:version>1.9.3</sparkle:version></item>"),
         Expected{"1.10.0", "", "https://knobly.example/1.10"}},
        {"VersionFromElement",
         feed("<item><link>https://knobly.example/2</link>"
              "<sparkle:version>2.0.1</sparkle:version>"
              "<sparkle:shortVersionString>2.0</sparkle:shortVersionString></item>"),
         Expected{"2.0.1", "2.0", "https://knobly.example/2"}},
        {"VersionFromEnclosureAndItsUrlWithoutALink",
         feed(
             R"(<item><title>1.3</title><enclosure url="https://dl.knobly.example/knobly-1.3.tar.gz"
              sparkle:version="1.3.0" sparkle:shortVersionString="1.3" length="10"
              type="application/octet-stream"/></item>)"),
         Expected{"1.3.0", "1.3", "https://dl.knobly.example/knobly-1.3.tar.gz"}},
        {"ElementBeatsEnclosureAndLinkBeatsEnclosureUrl",
         feed(R"(<item><link>https://knobly.example/page</link>
              <enclosure url="https://dl.knobly.example/file" sparkle:version="9.9.9"/>
              <sparkle:version>1.4.0</sparkle:version></item>)"),
         Expected{"1.4.0", "", "https://knobly.example/page"}},
        {"OtherNamespacePrefix",
         R"(<rss xmlns:sp="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
            <item><link>https://knobly.example/p</link><sp:version>3.1</sp:version></item>
            </channel></rss>)",
         Expected{"3.1", "", "https://knobly.example/p"}},
        {"CdataAndWhitespace",
         feed("<item><link><![CDATA[ https://knobly.example/c ]]></link>"
              "<sparkle:version>\n  1.5.0\n</sparkle:version></item>"),
         Expected{"1.5.0", "", "https://knobly.example/c"}},
        {"ReleaseBeatsItsPreRelease",
         feed("<item><link>https://knobly.example/b</link>"
              "<sparkle:version>1.3.0-beta1</sparkle:version></item>"
              "<item><link>https://knobly.example/r</link>"
              "<sparkle:version>1.3.0</sparkle:version></item>"),
         Expected{"1.3.0", "", "https://knobly.example/r"}},
        {"ItemOnAnotherChannelIsSkipped",
         feed(
             "<item><link>https://knobly.example/beta</link><sparkle:channel>beta</sparkle:channel>"
             "<sparkle:version>2.0.0</sparkle:version></item>"
             "<item><link>https://knobly.example/1.1</link>"
             "<sparkle:version>1.1.0</sparkle:version></item>"),
         Expected{"1.1.0", "", "https://knobly.example/1.1"}},
        {"ItemWithoutVersionIsSkipped",
         feed("<item><link>https://knobly.example/none</link><title>9.0</title></item>"
              "<item><link>https://knobly.example/1.1</link>"
              "<sparkle:version>1.1.0</sparkle:version></item>"),
         Expected{"1.1.0", "", "https://knobly.example/1.1"}},
        {"OnlyWebLinksAreKept", feed(R"(<item><link>javascript:alert(1)</link>
              <enclosure url="file:///etc/passwd" sparkle:version="1.6.0"/></item>)"),
         Expected{"1.6.0", "", ""}},
        {"BadLinkFallsBackToEnclosure", feed(R"(<item><link>file:///tmp/x</link>
              <enclosure url="https://dl.knobly.example/f" sparkle:version="1.6.0"/></item>)"),
         Expected{"1.6.0", "", "https://dl.knobly.example/f"}},
        {"MissingVersion",
         feed("<item><title>1.2</title><link>https://knobly.example/1.2</link></item>"),
         std::nullopt},
        {"VersionOutsideTheSparkleNamespace",
         feed("<item><link>https://knobly.example/x</link><version>1.2.0</version></item>"),
         std::nullopt},
        {"NoItems", feed(""), std::nullopt},
        {"EmptyBody", "", std::nullopt},
        {"MalformedXml",
         "<rss><channel><item><sparkle:version>1.2.0</sparkle:version></item></channel></rss>",
         std::nullopt},
        {"MismatchedTags",
         feed("<item><link>https://knobly.example/m</link>"
              "<sparkle:version>1.2.0</sparkle:version></itm>"),
         std::nullopt},
        {"CutShort", feed("<item><sparkle:version>1.2.0</sparkle:version></item>").left(200),
         std::nullopt},
        {"GarbageAfterTheFeed",
         feed("<item><sparkle:version>1.2.0</sparkle:version></item>") + "<<<junk", std::nullopt},
        {"NotAFeed", "<html><body><h1>Not Found</h1></body></html>", std::nullopt},
        {"NotXmlAtAll", QByteArray("\0\xff\xfe garbage {\"json\": true}", 26), std::nullopt},
    };
}

class ParseAppcast : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseAppcast, FindsTheNewestRelease) {
    const ParseCase &c = GetParam();
    const auto item = UpdateController::parseAppcast(c.xml);
    if (!c.expected) {
        EXPECT_FALSE(item) << item->version.toStdString();
        return;
    }
    ASSERT_TRUE(item);
    EXPECT_EQ(item->version, c.expected->version);
    EXPECT_EQ(item->shortVersion, c.expected->shortVersion);
    EXPECT_EQ(item->link, c.expected->link.isEmpty() ? QUrl() : QUrl(c.expected->link));
}

INSTANTIATE_TEST_SUITE_P(UpdateController, ParseAppcast, ::testing::ValuesIn(parseCases()),
                         [](const ::testing::TestParamInfo<ParseCase> &info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------
// compareVersions

struct CompareCase {
    const char *a;
    const char *b;
    int expected; // sign of compare(a, b)
};

class CompareVersions : public ::testing::TestWithParam<CompareCase> {};

int sign(int v) {
    return (v > 0) - (v < 0);
}

TEST_P(CompareVersions, OrdersBothWays) {
    const CompareCase &c = GetParam();
    const QString a = QString::fromLatin1(c.a);
    const QString b = QString::fromLatin1(c.b);
    EXPECT_EQ(sign(UpdateController::compareVersions(a, b)), c.expected) << c.a << " vs " << c.b;
    EXPECT_EQ(sign(UpdateController::compareVersions(b, a)), -c.expected) << c.b << " vs " << c.a;
}

INSTANTIATE_TEST_SUITE_P(
    UpdateController, CompareVersions,
    ::testing::Values(CompareCase{"1.10.0", "1.9.3", 1}, CompareCase{"1.2", "1.2.0", 0},
                      CompareCase{"1.2.0", "1.2.0", 0}, CompareCase{"1.2.1", "1.2", 1},
                      CompareCase{"2", "1.99.99", 1}, CompareCase{"0.1.0", "0.0.9", 1},
                      CompareCase{"1.2.0-beta1", "1.2.0", -1},
                      CompareCase{"1.2-beta1", "1.2.0", -1}, CompareCase{"1.2.0-beta1", "1.1.9", 1},
                      CompareCase{"1.2.0-beta2", "1.2.0-beta10", -1},
                      CompareCase{"1.2.0-beta1", "1.2.0-rc1", -1},
                      CompareCase{"1.2.0-alpha", "1.2.0-alpha.1", -1},
                      CompareCase{"1.2.0-beta1", "1.2.0-beta1", 0},
                      CompareCase{"1.2.0beta", "1.2.0", -1}, CompareCase{"01.02", "1.2", 0},
                      CompareCase{"v1.2", "1.2.0", 0}, CompareCase{" 1.2.0 ", "1.2.0", 0},
                      CompareCase{"1.2.0+build5", "1.2.0", 0}, CompareCase{"1.2.", "1.2", 0},
                      CompareCase{"99999999999999999999.0", "9999999999999999999.0", 1},
                      CompareCase{"1.0.0.1", "1.0", 1}));

// ---------------------------------------------------------------------------------------
// checkForUpdates over HTTP

// A tiny HTTP server on 127.0.0.1, one answer per connection, on a thread of its own so that the
// test's thread can wait on the main queue meanwhile.
class FeedServer final : public QThread {
public:
    struct Page {
        int status = 200;
        QByteArray body;
    };

    explicit FeedServer(std::map<QByteArray, Page> pages) : pages_(std::move(pages)) {}
    ~FeedServer() override {
        quit();
        // Our own hand-over as well as wait(): thread sanitizers cannot see into QThread's.
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return finished_ || !started_; });
        lock.unlock();
        wait();
    }

    bool begin() {
        start();
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return started_; });
        return port_ != 0;
    }

    QUrl url(const QString &path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path));
    }

    std::vector<QByteArray> targets() const {
        std::lock_guard lock(mutex_);
        return targets_;
    }

protected:
    void run() override {
        {
            QTcpServer server;
            const bool ok = server.listen(QHostAddress::LocalHost, 0);
            {
                std::lock_guard lock(mutex_);
                port_ = ok ? server.serverPort() : 0;
                started_ = true;
            }
            ready_.notify_all();
            if (ok) {
                QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
                    while (QTcpSocket *socket = server.nextPendingConnection())
                        serve(socket);
                });
                exec();
            }
        }
        // Notified under the lock: the waiter destroys the condition variable right after.
        std::lock_guard lock(mutex_);
        finished_ = true;
        ready_.notify_all();
    }

private:
    void serve(QTcpSocket *socket) {
        auto request = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
            if (request->contains("\r\n\r\n"))
                return; // answered already
            *request += socket->readAll();
            if (!request->contains("\r\n\r\n"))
                return;
            const QList<QByteArray> words = request->left(request->indexOf("\r\n")).split(' ');
            const QByteArray target = words.size() >= 2 ? words[1] : QByteArray();
            {
                std::lock_guard lock(mutex_);
                targets_.push_back(target);
            }
            const auto it = pages_.find(target);
            const Page page = it != pages_.end() ? it->second : Page{404, "no such page"};
            socket->write("HTTP/1.1 " + QByteArray::number(page.status) +
                          (page.status == 200 ? " OK" : " Not Found") +
                          "\r\nContent-Type: application/rss+xml\r\nContent-Length: " +
                          QByteArray::number(page.body.size()) + "\r\nConnection: close\r\n\r\n" +
                          page.body);
            socket->disconnectFromHost();
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

    const std::map<QByteArray, Page> pages_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    bool started_ = false;
    bool finished_ = false;
    quint16 port_ = 0;
    std::vector<QByteArray> targets_;
};

const QByteArray kFeed =
    feed("<item><title>Knobly 1.2</title><link>https://knobly.example/download</link>"
         "<sparkle:version>1.2.0</sparkle:version></item>"
         "<item><title>Knobly 1.1</title><link>https://knobly.example/old</link>"
         "<sparkle:version>1.1.0</sparkle:version></item>");

class CheckForUpdates : public ::testing::Test {
protected:
    void SetUp() override {
        MainQueue::install(queue);
        ASSERT_TRUE(server.begin());
    }
    void TearDown() override {
        // Every session must end with its controller; until then a session thread may still
        // be posting to the queue, which must outlive that.
        EXPECT_TRUE(queue->runUntil([] { return UrlSession::liveSessions() == 0; }));
        MainQueue::install(nullptr);
    }

    // Runs one check to its end; the answer must come through the main queue.
    std::optional<Result> check(UpdateController &controller) {
        std::optional<Result> result;
        int calls = 0;
        controller.checkForUpdates([&](Result r) {
            ++calls;
            result = std::move(r);
        });
        EXPECT_EQ(calls, 0) << "answered inside the call";
        EXPECT_TRUE(queue->runUntil([&] { return calls > 0; }));
        queue->runPending();
        EXPECT_LE(calls, 1);
        return result;
    }

    std::shared_ptr<FakeMainQueue> queue = std::make_shared<FakeMainQueue>();
    FeedServer server{{
        {"/appcast.xml", {200, kFeed}},
        {"/garbage.xml", {200, "<<<this is not a feed"}},
        {"/huge.xml", {200, QByteArray(1024 * 1024 + 1, 'x')}},
    }};
};

struct NetworkCase {
    const char *name;
    const char *installed;
    const char *path;
    Result::Kind kind;
    const char *latest;
    const char *page;
};

class CheckForUpdatesOverHttp : public CheckForUpdates,
                                public ::testing::WithParamInterface<NetworkCase> {};

TEST_P(CheckForUpdatesOverHttp, ReportsWhatTheFeedSays) {
    const NetworkCase &c = GetParam();
    UpdateController controller(QString::fromLatin1(c.installed),
                                server.url(QString::fromLatin1(c.path)));
    const auto result = check(controller);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, c.kind) << result->error.toStdString();
    EXPECT_EQ(result->latestVersion, QString::fromLatin1(c.latest));
    EXPECT_EQ(result->downloadPage, QUrl(QString::fromLatin1(c.page)));
    EXPECT_EQ(result->kind == Result::Failed, !result->error.isEmpty());
    EXPECT_EQ(server.targets(), std::vector<QByteArray>{QByteArray(c.path)});
}

INSTANTIATE_TEST_SUITE_P(
    UpdateController, CheckForUpdatesOverHttp,
    ::testing::Values(NetworkCase{"UpToDate", "1.2.0", "/appcast.xml", Result::UpToDate, "1.2.0",
                                  "https://knobly.example/download"},
                      NetworkCase{"NewerThanTheFeed", "1.3.0-beta1", "/appcast.xml",
                                  Result::UpToDate, "1.2.0", "https://knobly.example/download"},
                      NetworkCase{"NewerAvailable", "1.1.9", "/appcast.xml",
                                  Result::UpdateAvailable, "1.2.0",
                                  "https://knobly.example/download"},
                      NetworkCase{"PreReleaseOfTheNewest", "1.2.0-rc1", "/appcast.xml",
                                  Result::UpdateAvailable, "1.2.0",
                                  "https://knobly.example/download"},
                      NetworkCase{"NotFound", "1.0.0", "/missing.xml", Result::Failed, "", ""},
                      NetworkCase{"Garbage", "1.0.0", "/garbage.xml", Result::Failed, "", ""},
                      NetworkCase{"TooLarge", "1.0.0", "/huge.xml", Result::Failed, "", ""}),
    [](const ::testing::TestParamInfo<NetworkCase> &info) { return std::string(info.param.name); });

TEST_F(CheckForUpdates, NotFoundNamesTheStatus) {
    UpdateController controller(QStringLiteral("1.0.0"), server.url(QStringLiteral("/nope")));
    const auto result = check(controller);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, Result::Failed);
    EXPECT_TRUE(result->error.contains(QLatin1String("404"))) << result->error.toStdString();
}

TEST_F(CheckForUpdates, NoFeedConfigured) {
    UpdateController controller(QStringLiteral("1.0.0"), QUrl());
    const auto result = check(controller);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, Result::NoFeedConfigured);
    EXPECT_TRUE(server.targets().empty());
}

TEST_F(CheckForUpdates, RefusesFeedsThatAreNotHttps) {
    const QString port = QString::number(server.url(QString()).port());
    const QString refused[] = {
        QStringLiteral("http://knobly.example/appcast.xml"),
        QStringLiteral("http://10.0.0.1/appcast.xml"),
        QStringLiteral("http://127.0.0.1.knobly.example/appcast.xml"),
        QStringLiteral("http://localhost.knobly.example/appcast.xml"),
        QStringLiteral("ftp://127.0.0.1:%1/appcast.xml").arg(port),
        QStringLiteral("file:///tmp/appcast.xml"),
        QStringLiteral("appcast.xml"),
    };
    for (const QString &address : refused) {
        UpdateController controller(QStringLiteral("1.0.0"), QUrl(address));
        const auto result = check(controller);
        ASSERT_TRUE(result) << address.toStdString();
        EXPECT_EQ(result->kind, Result::Failed) << address.toStdString();
        EXPECT_FALSE(result->error.isEmpty()) << address.toStdString();
        // Refused before any connection: no session was even made.
        EXPECT_EQ(UrlSession::liveSessions(), 0u) << address.toStdString();
    }
    EXPECT_TRUE(server.targets().empty());
}

TEST_F(CheckForUpdates, PlainHttpIsFineOnThisMachine) {
    for (const char *address :
         {"http://localhost:1/appcast.xml", "http://127.0.0.1:1/appcast.xml"}) {
        UpdateController controller(QStringLiteral("1.0.0"), QUrl(QString::fromLatin1(address)));
        const auto result = check(controller);
        ASSERT_TRUE(result) << address;
        // Nothing listens on port 1; what matters is that the controller tried.
        EXPECT_EQ(result->kind, Result::Failed) << address;
        EXPECT_EQ(UrlSession::liveSessions(), 1u) << address;
    }
}

// The update feed gets real certificate checks, unlike the speakers on the local network.
TEST_F(CheckForUpdates, SelfSignedCertificateIsRefused) {
    devicesim::DeviceSimulator sim;
    ASSERT_TRUE(sim.start());
    UpdateController controller(QStringLiteral("1.0.0"),
                                QUrl(QStringLiteral("https://%1/appcast.xml").arg(sim.address())));
    const auto result = check(controller);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, Result::Failed);
    EXPECT_TRUE(sim.requests().empty());
}

TEST_F(CheckForUpdates, NoAnswerOnceTheControllerIsGone) {
    int calls = 0;
    auto controller = std::make_unique<UpdateController>(
        QStringLiteral("1.0.0"), server.url(QStringLiteral("/appcast.xml")));
    controller->checkForUpdates([&](Result) { ++calls; });
    controller.reset();
    // The session outlives us until its request is done; then nothing is left running.
    EXPECT_TRUE(queue->runUntil([] { return UrlSession::liveSessions() == 0; }));
    queue->runPending();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(server.targets().size(), 1u);
}

TEST_F(CheckForUpdates, RepeatedChecksShareOneController) {
    UpdateController controller(QStringLiteral("1.1.0"),
                                server.url(QStringLiteral("/appcast.xml")));
    for (int i = 0; i < 3; ++i) {
        const auto result = check(controller);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->kind, Result::UpdateAvailable);
    }
    EXPECT_EQ(server.targets().size(), 3u);
}

TEST(UpdateControllerBuild, KnowsItsVersionAndFeed) {
    EXPECT_EQ(UpdateController::compareVersions(UpdateController::currentVersion(),
                                                QStringLiteral(KNOBLY_TEST_PROJECT_VERSION)),
              0);
    EXPECT_EQ(UpdateController::configuredFeedUrl(), QUrl(QStringLiteral(KNOBLY_TEST_APPCAST_URL)));
}

} // namespace
