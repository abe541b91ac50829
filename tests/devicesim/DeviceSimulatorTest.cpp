#include "DeviceSimulator.h"
#include "RawTlsClient.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using namespace devicesim;
using namespace devicesim::testclient;
using namespace std::chrono_literals;

namespace {

QByteArray api(const QByteArray &command) {
    return "/httpapi.asp?command=" + command;
}

// Polls for state the server thread updates on its own schedule; asserts nothing about time.
bool eventually(const std::function<bool()> &condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    return condition();
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
    // Each step starts from the state the previous one left; the columns are the state after it.
    const struct {
        const char *command, *body;
        int volume;
        bool muted;
        const char *status;
        int track;
    } script[] = {
        {"setPlayerCmd:vol:42", "OK", 42, false, "play", 0},
        {"setPlayerCmd:vol:150", "OK", 100, false, "play", 0},
        {"setPlayerCmd:vol:-7", "OK", 0, false, "play", 0},
        {"setPlayerCmd:vol:loud", "Failed", 0, false, "play", 0},
        {"setPlayerCmd%3Avol%3A20", "OK", 20, false, "play", 0},
        {"setPlayerCmd:mute:1", "OK", 20, true, "play", 0},
        {"setPlayerCmd:mute:0", "OK", 20, false, "play", 0},
        {"setPlayerCmd:pause", "OK", 20, false, "pause", 0},
        {"setPlayerCmd:resume", "OK", 20, false, "play", 0},
        {"setPlayerCmd:onepause", "OK", 20, false, "pause", 0},
        {"setPlayerCmd:onepause", "OK", 20, false, "play", 0},
        {"setPlayerCmd:prev", "OK", 20, false, "play", 2},
        {"setPlayerCmd:pause", "OK", 20, false, "pause", 2},
        {"setPlayerCmd:next", "OK", 20, false, "play", 0},
        {"setPlayerCmd:seek:30", "unknown command", 20, false, "play", 0},
        {"reboot", "unknown command", 20, false, "play", 0},
    };
    Client client(sim.port()); // one keep-alive connection for the whole script
    for (const auto &step : script) {
        SCOPED_TRACE(step.command);
        const Reply reply = client.get(api(step.command));
        EXPECT_EQ(reply.code, 200);
        EXPECT_EQ(reply.body, step.body);
        EXPECT_EQ(sim.volume(), step.volume);
        EXPECT_EQ(sim.muted(), step.muted);
        EXPECT_EQ(sim.status(), QLatin1String(step.status));
        EXPECT_EQ(sim.trackIndex(), step.track);
    }
    EXPECT_EQ(sim.tlsHandshakes(), 1);
}

TEST_F(DeviceSimulatorTest, PlayerStatusIsAllStringsWithUppercaseUtf8Hex) {
    ASSERT_EQ(get("setPlayerCmd:next").body, "OK");
    const Reply reply = get("getPlayerStatus");
    EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(reply.head.contains("\r\nContent-Type: text/html"));
    EXPECT_TRUE(reply.head.contains("\r\nConnection: keep-alive"));
    const QJsonObject json = reply.json();
    ASSERT_GE(json.size(), 18);
    for (auto it = json.begin(); it != json.end(); ++it)
        EXPECT_TRUE(it.value().isString()) << it.key().toStdString();
    EXPECT_EQ(json["Title"].toString(), "53C3B32044616EC3A76F2053616D6261"); // Só Danço Samba
    EXPECT_EQ(json["Artist"].toString(), "4A6FC3A36F2047696C626572746F");    // João Gilberto
    EXPECT_EQ(json["plicount"].toString() + json["plicurr"].toString(), "32");
    EXPECT_EQ(json["vol"].toString() + json["mute"].toString() + json["status"].toString(),
              "350play");

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
    EXPECT_EQ(status["Title"].toString() + status["plicount"].toString(), "411");
    const QJsonObject ex = client.get(api("getStatusEx")).json();
    EXPECT_EQ(ex["DeviceName"].toString() + ex["apcli0"].toString(), "Kitchen127.0.0.1");
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
    EXPECT_TRUE(client.read().head.contains("\r\nConnection: close"));
    EXPECT_EQ(client.read().outcome, Outcome::Closed);
    EXPECT_TRUE(eventually([&] { return sim.openConnections() == 0; }));
}

TEST_F(DeviceSimulatorTest, FaultsShapeTheAnswer) {
    using T = QJsonValue::Type;
    // body: the exact body expected, or nullptr to check the JSON type of member `key` instead.
    const struct {
        Fault fault;
        const char *command;
        int code;
        const char *body, *key;
        T type;
        int volume;
    } cases[] = {
        {Fault::Html404, "setPlayerCmd:vol:10", 404,
         "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>",
         "", T::Null, 35},
        {Fault::Json500, "getPlayerStatus", 500, nullptr, "status", T::String, 35},
        {Fault::Json500, "setPlayerCmd:vol:11", 500, "OK", "", T::Null, 11},
        {Fault::WrongTypes, "getPlayerStatus", 200, nullptr, "status", T::Double, 35},
        {Fault::WrongTypes, "getPlayerStatus", 200, nullptr, "vol", T::Array, 35},
        {Fault::WrongTypes, "getPlayerStatus", 200, nullptr, "mute", T::Null, 35},
        {Fault::WrongTypes, "getPlayerStatus", 200, nullptr, "Title", T::Object, 35},
        {Fault::WrongTypes, "getStatusEx", 200, nullptr, "ssid", T::Double, 35},
        {Fault::WrongTypes, "getStatusEx", 200, nullptr, "DeviceName", T::Array, 35},
        {Fault::WrongTypes, "setPlayerCmd:vol:12", 200, "OK", "", T::Null, 12},
        {Fault::Oversize, "getPlayerStatus", 200, nullptr, "status", T::String, 35},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.key);
        sim.setVolume(35);
        sim.setFault(c.fault);
        const Reply reply = get(c.command);
        ASSERT_EQ(reply.outcome, Outcome::Answer);
        EXPECT_EQ(reply.code, c.code);
        if (c.body)
            EXPECT_EQ(reply.body, c.body);
        else
            EXPECT_EQ(reply.json().value(QLatin1String(c.key)).type(), c.type);
        EXPECT_EQ(sim.volume(), c.volume);
        EXPECT_EQ(sim.commands().back(), QLatin1String(c.command));
    }
    EXPECT_EQ(get("getStatusEx").body.size(), 2 * 1024 * 1024); // still Oversize
}

TEST_F(DeviceSimulatorTest, ResetSendsRstAfterLogging) {
    sim.setFault(Fault::Reset);
    EXPECT_EQ(get("getPlayerStatus").outcome, Outcome::Reset);
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
    client.setTimeout(10s);
    const Outcome after = client.read().outcome;
    EXPECT_TRUE(after == Outcome::Closed || after == Outcome::Reset);
}

TEST_F(DeviceSimulatorTest, DelayAnswersLaterAndSurvivesAClientLeaving) {
    sim.setFault(Fault::Delay, 800);
    Client(sim.port()).send(api("getStatusEx")); // leaves while its answer is pending
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
    const char *commands[] = {"setPlayerCmd%3Amute%3A1", "getStatusEx", "", "a&b=c"};
    for (const QByteArray &target : targets)
        ASSERT_EQ(client.get(target).code, 200);
    const auto after = std::chrono::steady_clock::now();
    const std::vector<RequestRecord> log = sim.requests();
    ASSERT_EQ(log.size(), 4u);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].target, QLatin1String(targets[i]));
        EXPECT_EQ(log[i].command, QLatin1String(commands[i]));
        EXPECT_TRUE(log[i].time >= (i == 0 ? before : log[i - 1].time) && log[i].time <= after);
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
