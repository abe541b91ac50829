#include "DeviceSimulator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <thread>

using namespace devicesim;
using namespace std::chrono_literals;

namespace {

enum class Outcome { Answer, Timeout, Reset, Closed };

struct Reply {
    Outcome outcome = Outcome::Closed;
    int code = 0;
    QByteArray head;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QByteArray header(const QByteArray &name) const {
        for (const QByteArray &line : head.split('\n'))
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        return {};
    }
};

// Blocking TLS on a raw socket: unlike QSslSocket, it tells a reset (ECONNRESET) from a close.
class Client {
public:
    explicit Client(quint16 port) {
        std::signal(SIGPIPE, SIG_IGN);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
        setTimeout(5s);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
                     SSL_set_fd(ssl_, fd_) == 1 && SSL_connect(ssl_) == 1;
    }
    ~Client() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
        ::close(fd_);
    }
    bool connected() const { return connected_; }
    void setTimeout(std::chrono::milliseconds t) {
        const timeval tv{t.count() / 1000, (t.count() % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    bool send(const QByteArray &target, const QByteArray &headers = {}) {
        const QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
        return SSL_write(ssl_, request.constData(), int(request.size())) == int(request.size());
    }
    Reply read() {
        Reply r;
        qsizetype end = 0;
        while ((end = buffer_.indexOf("\r\n\r\n")) < 0)
            if (!fill(&r))
                return r;
        r.head = buffer_.left(end);
        buffer_.remove(0, end + 4);
        r.code = r.head.mid(9, 3).toInt();
        const qsizetype length = r.header("Content-Length").toLongLong();
        while (buffer_.size() < length)
            if (!fill(&r))
                return r;
        r.body = buffer_.left(length);
        buffer_.remove(0, length);
        r.outcome = Outcome::Answer;
        return r;
    }
    Reply get(const QByteArray &target) { return send(target) ? read() : Reply{}; }

private:
    bool fill(Reply *r) {
        char chunk[65536];
        errno = 0;
        const int n = SSL_read(ssl_, chunk, sizeof chunk);
        const int sysErrno = errno;
        if (n > 0) {
            buffer_.append(chunk, n);
            return true;
        }
        const bool timedOut = sysErrno == EAGAIN || SSL_get_error(ssl_, n) == SSL_ERROR_WANT_READ;
        r->outcome = timedOut ? Outcome::Timeout
                     : sysErrno == ECONNRESET ? Outcome::Reset
                                              : Outcome::Closed;
        return false;
    }
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    SSL_CTX *ctx_ = SSL_CTX_new(TLS_client_method());
    SSL *ssl_ = SSL_new(ctx_);
    bool connected_ = false;
    QByteArray buffer_;
};

QByteArray api(const QByteArray &command) { return "/httpapi.asp?command=" + command; }

// Polls for state the server thread updates on its own schedule; asserts nothing about time.
bool eventually(const std::function<bool()> &condition) {
    for (auto deadline = std::chrono::steady_clock::now() + 10s; !condition();)
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        else
            std::this_thread::sleep_for(2ms);
    return true;
}

class DeviceSimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        QString error;
        ASSERT_TRUE(sim.start(&error)) << error.toStdString();
    }
    Reply get(const QByteArray &command) { return Client(sim.port()).get(api(command)); }
    DeviceSimulator sim;
};

TEST_F(DeviceSimulatorTest, PlayerCommandsChangeStateInOrder) {
    using S = DeviceSimulator;
    const struct {
        const char *command, *body;
        std::function<bool(const S &)> holds;
    } script[] = {
        {"setPlayerCmd:vol:42", "OK", [](const S &s) { return s.volume() == 42; }},
        {"setPlayerCmd:vol:150", "OK", [](const S &s) { return s.volume() == 100; }},
        {"setPlayerCmd:vol:-7", "OK", [](const S &s) { return s.volume() == 0; }},
        {"setPlayerCmd:vol:loud", "Failed", [](const S &s) { return s.volume() == 0; }},
        {"setPlayerCmd%3Avol%3A20", "OK", [](const S &s) { return s.volume() == 20; }},
        {"setPlayerCmd:mute:1", "OK", [](const S &s) { return s.muted(); }},
        {"setPlayerCmd:mute:0", "OK", [](const S &s) { return !s.muted(); }},
        {"setPlayerCmd:pause", "OK", [](const S &s) { return s.status() == "pause"; }},
        {"setPlayerCmd:resume", "OK", [](const S &s) { return s.status() == "play"; }},
        {"setPlayerCmd:onepause", "OK", [](const S &s) { return s.status() == "pause"; }},
        {"setPlayerCmd:onepause", "OK", [](const S &s) { return s.status() == "play"; }},
        {"setPlayerCmd:prev", "OK", [](const S &s) { return s.trackIndex() == 2; }},
        {"setPlayerCmd:pause", "OK", [](const S &s) { return s.status() == "pause"; }},
        {"setPlayerCmd:next", "OK",
         [](const S &s) { return s.trackIndex() == 0 && s.status() == "play"; }},
        {"setPlayerCmd:seek:30", "unknown command", [](const S &s) { return s.trackIndex() == 0; }},
        {"reboot", "unknown command", [](const S &s) { return s.volume() == 20; }},
    };
    Client client(sim.port());
    for (const auto &step : script) {
        SCOPED_TRACE(step.command);
        const Reply reply = client.get(api(step.command));
        EXPECT_EQ(reply.code, 200);
        EXPECT_EQ(reply.body, step.body);
        EXPECT_TRUE(step.holds(sim));
    }
    EXPECT_EQ(sim.tlsHandshakes(), 1);
}

TEST_F(DeviceSimulatorTest, PlayerStatusIsAllStringsWithUppercaseUtf8Hex) {
    ASSERT_EQ(get("setPlayerCmd:next").body, "OK");
    const Reply reply = get("getPlayerStatus");
    EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(reply.header("Content-Type"), "text/html");
    EXPECT_EQ(reply.header("Connection"), "keep-alive");
    const QJsonObject json = reply.json();
    ASSERT_GE(json.size(), 18);
    for (auto it = json.begin(); it != json.end(); ++it)
        EXPECT_TRUE(it.value().isString()) << it.key().toStdString();
    EXPECT_EQ(json["Title"].toString(), "53C3B32044616EC3A76F2053616D6261"); // Só Danço Samba
    EXPECT_EQ(json["Artist"].toString(), "4A6FC3A36F2047696C626572746F");   // João Gilberto
    EXPECT_EQ(json["plicount"].toString(), "3");
    EXPECT_EQ(json["plicurr"].toString(), "2");
    EXPECT_EQ(json["vol"].toString(), "35");
    EXPECT_EQ(json["status"].toString(), "play");

    for (const char *idle : {"stop", "none"}) {
        sim.setStatus(QString::fromLatin1(idle));
        const QJsonObject stopped = get("getPlayerStatus").json();
        for (const char *key : {"Title", "Artist", "Album"})
            EXPECT_EQ(stopped[QLatin1String(key)].toString(), "556E6B6E6F776E") << idle << key;
    }
}

TEST(DeviceSimulatorOptions, CustomTracksNameAndRawStatusEx) {
    DeviceSimulator::Options options;
    options.name = QStringLiteral("Kitchen");
    options.tracks = {{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")}};
    DeviceSimulator sim(options);
    ASSERT_TRUE(sim.start());
    Client client(sim.port());
    const QJsonObject status = client.get(api("getPlayerStatus")).json();
    EXPECT_EQ(status["Title"].toString(), "41");
    EXPECT_EQ(status["plicount"].toString(), "1");
    const QJsonObject ex = client.get(api("getStatusEx")).json();
    EXPECT_EQ(ex["DeviceName"].toString(), "Kitchen");
    EXPECT_EQ(ex["apcli0"].toString(), "127.0.0.1");
    EXPECT_TRUE(ex["cast_enable"].isDouble());
    sim.setStatusExBody("{broken");
    EXPECT_EQ(client.get(api("getStatusEx")).body, "{broken");
}

TEST_F(DeviceSimulatorTest, KeepAliveReusesOneConnectionAndHonoursClose) {
    Client client(sim.port());
    EXPECT_EQ(client.get(api("getPlayerStatus")).code, 200);
    EXPECT_EQ(client.get(api("getStatusEx")).code, 200);
    EXPECT_EQ(sim.tlsHandshakes(), 1);
    EXPECT_EQ(sim.openConnections(), 1);
    ASSERT_TRUE(client.send(api("getStatusEx"), "Connection: close\r\n"));
    EXPECT_EQ(client.read().header("Connection"), "close");
    EXPECT_EQ(client.read().outcome, Outcome::Closed);
    EXPECT_TRUE(eventually([&] { return sim.openConnections() == 0; }));
}

TEST_F(DeviceSimulatorTest, FaultsShapeTheAnswer) {
    const struct {
        Fault fault;
        const char *command;
        int code;
        std::function<bool(const Reply &)> bodyOk;
        int volumeAfter;
    } cases[] = {
        {Fault::Html404, "setPlayerCmd:vol:10", 404,
         [](const Reply &r) { return r.body.contains("<h1>Not Found</h1>"); }, 35},
        {Fault::Json500, "getPlayerStatus", 500,
         [](const Reply &r) { return r.json()["status"].toString() == "play"; }, 35},
        {Fault::Json500, "setPlayerCmd:vol:11", 500, [](const Reply &r) { return r.body == "OK"; },
         11},
        {Fault::WrongTypes, "getPlayerStatus", 200,
         [](const Reply &r) {
             const QJsonObject j = r.json();
             return j["status"].isDouble() && j["vol"].isArray() && j["mute"].isNull() &&
                    j["Title"].isObject();
         },
         35},
        {Fault::WrongTypes, "getStatusEx", 200,
         [](const Reply &r) { return r.json()["ssid"].isDouble() && r.json()["project"].isNull(); },
         35},
        {Fault::WrongTypes, "setPlayerCmd:vol:12", 200, [](const Reply &r) { return r.body == "OK"; },
         12},
        {Fault::Oversize, "getPlayerStatus", 200,
         [](const Reply &r) { return r.body.size() == 2 * 1024 * 1024 && !r.json().isEmpty(); }, 35},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        sim.setVolume(35);
        sim.setFault(c.fault);
        const Reply reply = get(c.command);
        ASSERT_EQ(reply.outcome, Outcome::Answer);
        EXPECT_EQ(reply.code, c.code);
        EXPECT_TRUE(c.bodyOk(reply)) << reply.body.left(200).toStdString();
        EXPECT_EQ(sim.volume(), c.volumeAfter);
        EXPECT_EQ(sim.commands().back(), QString::fromLatin1(c.command));
    }
}

TEST_F(DeviceSimulatorTest, ResetSendsRstAfterLogging) {
    sim.setFault(Fault::Reset);
    Client client(sim.port());
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.get(api("getPlayerStatus")).outcome, Outcome::Reset);
    EXPECT_EQ(sim.commands(), std::vector<QString>{QStringLiteral("getPlayerStatus")});
    EXPECT_TRUE(eventually([&] { return sim.openConnections() == 0; }));
    sim.setFault(Fault::None);
    EXPECT_EQ(get("getPlayerStatus").code, 200);
}

TEST_F(DeviceSimulatorTest, HangHoldsTheConnectionUntilStop) {
    sim.setFault(Fault::Hang);
    Client client(sim.port());
    client.setTimeout(200ms); // a client-side give-up, not a measurement
    EXPECT_EQ(client.get(api("getPlayerStatus")).outcome, Outcome::Timeout);
    EXPECT_TRUE(eventually([&] { return sim.commands().size() == 1; }));
    EXPECT_EQ(sim.openConnections(), 1);
    sim.stop();
    EXPECT_EQ(sim.openConnections(), 0);
    client.setTimeout(5s);
    const Outcome after = client.read().outcome;
    EXPECT_TRUE(after == Outcome::Closed || after == Outcome::Reset);
}

TEST_F(DeviceSimulatorTest, DelayAnswersLaterAndSurvivesAClientLeaving) {
    sim.setFault(Fault::Delay, 800);
    {
        Client leaver(sim.port()); // its answer is still pending when it goes away
        ASSERT_TRUE(leaver.send(api("getStatusEx")));
    }
    Client client(sim.port());
    ASSERT_TRUE(client.send(api("getPlayerStatus")));
    client.setTimeout(50ms);
    EXPECT_EQ(client.read().outcome, Outcome::Timeout);
    client.setTimeout(10s);
    const Reply reply = client.read();
    EXPECT_EQ(reply.code, 200);
    EXPECT_EQ(reply.json()["status"].toString(), "play");
}

TEST_F(DeviceSimulatorTest, RequestLogKeepsRawTargetsAndTimes) {
    const auto before = std::chrono::steady_clock::now();
    Client client(sim.port());
    const QByteArray targets[] = {api("setPlayerCmd%3Amute%3A1"), "/other?command=getStatusEx",
                                  "/httpapi.asp", api("a&b=c")};
    for (const QByteArray &target : targets)
        ASSERT_EQ(client.get(target).code, 200);
    const auto after = std::chrono::steady_clock::now();
    const std::vector<RequestRecord> log = sim.requests();
    ASSERT_EQ(log.size(), 4u);
    const char *commands[] = {"setPlayerCmd%3Amute%3A1", "getStatusEx", "", "a&b=c"};
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].target, QString::fromLatin1(targets[i]));
        EXPECT_EQ(log[i].command, QString::fromLatin1(commands[i]));
        EXPECT_TRUE(log[i].time >= before && log[i].time <= after);
        EXPECT_TRUE(i == 0 || log[i].time >= log[i - 1].time);
    }
    EXPECT_TRUE(sim.muted());
    EXPECT_EQ(client.get("/other?command=getStatusEx").body, "unknown command");
    sim.clearRequests();
    EXPECT_TRUE(sim.commands().empty());
}

TEST_F(DeviceSimulatorTest, RestartsOnTheSamePortAndRunsBesideOthers) {
    const quint16 port = sim.port();
    EXPECT_EQ(sim.address(), QStringLiteral("127.0.0.1:%1").arg(port));
    for (int round = 0; round < 2; ++round) {
        sim.stop();
        sim.stop();
        ASSERT_TRUE(sim.start());
        EXPECT_EQ(sim.port(), port);
        EXPECT_EQ(get("getPlayerStatus").code, 200);
        EXPECT_EQ(sim.tlsHandshakes(), 1);
    }
    DeviceSimulator other;
    ASSERT_TRUE(other.start());
    EXPECT_NE(other.port(), port);
    EXPECT_EQ(Client(other.port()).get(api("getStatusEx")).code, 200);

    DeviceSimulator::Options clash;
    clash.port = port;
    DeviceSimulator taken(clash);
    QString error;
    EXPECT_FALSE(taken.start(&error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
