#include "WiiMClient.h"
#include "Await.h"
#include "DeviceSimulator.h"

#include <QThread>

#include <gtest/gtest.h>

using namespace knobly;
using devicesim::DeviceSimulator;
using devicesim::Fault;

namespace {

class WiiMClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        QString error;
        ASSERT_TRUE(sim.start(&error)) << error.toStdString();
        client = std::make_shared<WiiMClient>(sim.address());
    }

    // Waits for the device to have seen `n` requests and returns their command texts.
    std::vector<QString> commandsAfter(std::size_t n) {
        eventually([&] { return sim.commands().size() >= n; });
        return sim.commands();
    }

    DeviceSimulator sim;
    std::shared_ptr<WiiMClient> client;
};

struct CommandCase {
    const char *name;
    std::function<void(WiiMClient &)> prepare;
    std::function<void(WiiMClient &, WiiMClient::DoneCallback)> act;
    QString expectedCommand;
    std::int64_t expectedVolume; // currentVolume afterwards
};

class ClientCommands : public WiiMClientTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ClientCommands, SendsExactRequestAndStoresClampedVolume) {
    const CommandCase &c = GetParam();
    if (c.prepare)
        c.prepare(*client);
    auto done = std::make_shared<Await<bool>>();
    c.act(*client, deliverTo(done));
    const auto commands = commandsAfter(1);
    ASSERT_TRUE(eventually([&] { return client->session()->requestsInFlight() == 0; }));
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0], c.expectedCommand);
    EXPECT_EQ(sim.requests()[0].target, "/httpapi.asp?command=" + c.expectedCommand);
    EXPECT_EQ(client->currentVolume(), c.expectedVolume);
}

const auto noCallback = [](auto step) {
    return [step](WiiMClient &c, WiiMClient::DoneCallback) { step(c); };
};

INSTANTIATE_TEST_SUITE_P(
    Table, ClientCommands,
    ::testing::Values(
        CommandCase{"vol35",
                    {},
                    [](WiiMClient &c, auto d) { c.setVolume(35, d); },
                    "setPlayerCmd:vol:35",
                    35},
        CommandCase{"vol150",
                    {},
                    [](WiiMClient &c, auto d) { c.setVolume(150, d); },
                    "setPlayerCmd:vol:100",
                    100},
        CommandCase{"volMinus5",
                    {},
                    [](WiiMClient &c, auto d) { c.setVolume(-5, d); },
                    "setPlayerCmd:vol:0",
                    0},
        CommandCase{"upAt99", [](WiiMClient &c) { c.setCurrentVolume(99); },
                    noCallback([](WiiMClient &c) { c.volumeUp(); }), "setPlayerCmd:vol:100", 100},
        CommandCase{"downAt2", [](WiiMClient &c) { c.setCurrentVolume(2); },
                    noCallback([](WiiMClient &c) { c.volumeDown(); }), "setPlayerCmd:vol:0", 0},
        CommandCase{"upByFive",
                    {},
                    noCallback([](WiiMClient &c) { c.volumeUp(5); }),
                    "setPlayerCmd:vol:55",
                    55},
        CommandCase{
            "upSaturates",
            {},
            noCallback([](WiiMClient &c) { c.volumeUp(std::numeric_limits<std::int64_t>::max()); }),
            "setPlayerCmd:vol:100",
            100},
        CommandCase{"muteWhenUnmuted",
                    {},
                    [](WiiMClient &c, auto d) { c.toggleMute(d); },
                    "setPlayerCmd:mute:1",
                    50},
        CommandCase{"unmuteWhenMuted", [](WiiMClient &c) { c.setIsMuted(true); },
                    [](WiiMClient &c, auto d) { c.toggleMute(d); }, "setPlayerCmd:mute:0", 50},
        CommandCase{"pauseWhenPlaying", [](WiiMClient &c) { c.setIsPlaying(true); },
                    [](WiiMClient &c, auto d) { c.playPause(d); }, "setPlayerCmd:pause", 50},
        CommandCase{"resumeWhenPaused",
                    {},
                    [](WiiMClient &c, auto d) { c.playPause(d); },
                    "setPlayerCmd:resume",
                    50},
        CommandCase{
            "next", {}, [](WiiMClient &c, auto d) { c.nextTrack(d); }, "setPlayerCmd:next", 50},
        CommandCase{"prev",
                    {},
                    [](WiiMClient &c, auto d) { c.prevTrack(d); },
                    "setPlayerCmd:prev",
                    50},
        CommandCase{"aboveTheLimit", [](WiiMClient &c) { c.setVolumeLimit(60); },
                    [](WiiMClient &c, auto d) { c.setVolume(80, d); }, "setPlayerCmd:vol:60", 60},
        CommandCase{"upToTheLimit",
                    [](WiiMClient &c) {
                        c.setVolumeLimit(60);
                        c.setCurrentVolume(58);
                    },
                    noCallback([](WiiMClient &c) { c.volumeUp(5); }), "setPlayerCmd:vol:60", 60},
        CommandCase{"limitNeverBelowOne", [](WiiMClient &c) { c.setVolumeLimit(-4); },
                    [](WiiMClient &c, auto d) { c.setVolume(30, d); }, "setPlayerCmd:vol:1", 1},
        CommandCase{"switchInput",
                    {},
                    [](WiiMClient &c, auto d) { c.switchInput("optical", d); },
                    "setPlayerCmd:switchmode:optical",
                    50},
        CommandCase{
            "preset", {}, [](WiiMClient &c, auto d) { c.playPreset(3, d); }, "MCUKeyShortClick:3", 50},
        CommandCase{"stop", {}, [](WiiMClient &c, auto d) { c.stop(d); }, "setPlayerCmd:stop", 50},
        CommandCase{"status",
                    {},
                    [](WiiMClient &c, auto) { c.fetchStatus([](auto, auto, auto) {}); },
                    "getPlayerStatus",
                    35}),
    [](const auto &info) { return std::string(info.param.name); });

// Steps faster than the device answers are merged: the last one wins, in a few requests.
TEST_F(WiiMClientTest, VolumeBurstsSendTheLatestValueWithOneRequestInFlight) {
    // Answers take longer than the burst, however busy the machine.
    sim.setFault(Fault::Delay, 300);
    for (const int burst : {10, 50}) {
        SCOPED_TRACE(burst);
        sim.clearRequests();
        client->setCurrentVolume(20);
        auto last = std::make_shared<Await<bool>>();
        for (int i = 0; i < burst; ++i)
            client->volumeUp(1);
        client->setVolume(20 + burst, deliverTo(last));
        ASSERT_EQ(last->wait(), std::optional(true));
        EXPECT_EQ(sim.volume(), 20 + burst);
        const auto sent = sim.commands().size();
        EXPECT_EQ(sent, 2u) << "the first step, then only the latest";
    }
}

TEST_F(WiiMClientTest, StatusDecodesDeviceStateAndStoresIt) {
    sim.setVolume(35);
    sim.setStatus("play");
    using Status =
        std::tuple<std::optional<std::int64_t>, std::optional<bool>, std::optional<QString>, bool>;
    auto result = std::make_shared<Await<Status>>();
    client->fetchStatus([result, mainThread = QThread::currentThread()](auto v, auto m, auto l) {
        result->set({v, m, l, QThread::currentThread() != mainThread});
    });
    const auto status = result->wait();
    ASSERT_TRUE(status);
    const auto &[volume, muted, line, offMainThread] = *status;
    EXPECT_EQ(volume, 35);
    EXPECT_EQ(muted, false);
    EXPECT_EQ(line, QString::fromUtf8("Miles Davis \xe2\x80\x94 Blue in Green"));
    EXPECT_TRUE(offMainThread) << "completions run on the session's thread";
    EXPECT_EQ(client->currentVolume(), 35);
    EXPECT_TRUE(client->isPlaying());
    EXPECT_EQ(client->nowPlaying(), *line);
}

TEST_F(WiiMClientTest, TwoTogglesBeforeEitherAnswerBothSendMuteAndFlipTwice) {
    sim.setFault(Fault::Delay, 300);
    auto done = std::make_shared<Await<bool>>();
    client->toggleMute(deliverTo(done));
    client->toggleMute(deliverTo(done));
    ASSERT_TRUE(done->wait(1));
    EXPECT_EQ(*done->wait(0), true);
    EXPECT_EQ(*done->wait(1), true);
    EXPECT_EQ(sim.commands(), (std::vector<QString>{"setPlayerCmd:mute:1", "setPlayerCmd:mute:1"}));
    EXPECT_FALSE(client->isMuted());
}

TEST_F(WiiMClientTest, SuccessfulAnswersFlipStoredFlags) {
    auto done = std::make_shared<Await<bool>>();
    client->toggleMute(deliverTo(done));
    client->playPause(deliverTo(done));
    ASSERT_TRUE(done->wait(1));
    EXPECT_TRUE(client->isMuted());
    EXPECT_TRUE(client->isPlaying());
    EXPECT_TRUE(sim.muted());
}

struct FaultCase {
    const char *name;
    Fault fault;
    bool commandSucceeds;
    bool statusDecodes;
};

class ClientFaults : public WiiMClientTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ClientFaults, CommandsAndStatusReportByTransportOnly) {
    const FaultCase &c = GetParam();
    sim.setFault(c.fault);
    client->setCurrentVolume(12);
    auto next = std::make_shared<Await<bool>>();
    auto mute = std::make_shared<Await<bool>>();
    client->nextTrack(deliverTo(next));
    client->toggleMute(deliverTo(mute));
    EXPECT_EQ(next->wait(), c.commandSucceeds);
    EXPECT_EQ(mute->wait(), c.commandSucceeds);
    EXPECT_EQ(client->isMuted(), c.commandSucceeds) << "the flag flips only on an answer";

    auto volume = std::make_shared<Await<std::optional<std::int64_t>>>();
    client->fetchStatus([volume](auto v, auto, auto) { volume->set(v); });
    const auto got = volume->wait();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->has_value(), c.statusDecodes);
    if (!c.statusDecodes) {
        EXPECT_EQ(client->currentVolume(), 12) << "a failed status changes nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ClientFaults,
                         ::testing::Values(FaultCase{"json500", Fault::Json500, true, true},
                                           FaultCase{"html404", Fault::Html404, true, false},
                                           FaultCase{"wrongTypes", Fault::WrongTypes, true, false},
                                           FaultCase{"reset", Fault::Reset, false, false},
                                           FaultCase{"oversize", Fault::Oversize, false, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(WiiMClientTest, HangingDeviceFailsAfterTheTimeout) {
    sim.setFault(Fault::Hang);
    auto done = std::make_shared<Await<bool>>();
    const auto started = std::chrono::steady_clock::now();
    client->setVolume(40, deliverTo(done));
    const auto result = done->wait(0, std::chrono::seconds(15));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
    EXPECT_GE(elapsed, WiiMClient::requestTimeoutSeconds - 0.1);
    EXPECT_EQ(client->currentVolume(), 40) << "the volume was stored before sending";
}

TEST_F(WiiMClientTest, DroppedClientsRequestsStillComplete) {
    sim.setFault(Fault::Delay, 200);
    auto volume = std::make_shared<Await<bool>>();
    auto mute = std::make_shared<Await<bool>>();
    auto status = std::make_shared<Await<std::optional<std::int64_t>>>();
    client->setVolume(20, deliverTo(volume));
    client->toggleMute(deliverTo(mute));
    client->fetchStatus([status](auto v, auto, auto) { status->set(v); });
    client.reset();
    EXPECT_EQ(volume->wait(), true);
    EXPECT_EQ(mute->wait(), true);
    const auto v = status->wait();
    ASSERT_TRUE(v);
    EXPECT_TRUE(v->has_value());
    EXPECT_EQ(sim.volume(), 20);
}

TEST_F(WiiMClientTest, AddressChangeRedirectsLaterRequests) {
    DeviceSimulator other;
    ASSERT_TRUE(other.start());
    client->setIpAddress(other.address());
    auto done = std::make_shared<Await<bool>>();
    client->nextTrack(deliverTo(done));
    EXPECT_EQ(done->wait(), true);
    EXPECT_EQ(other.commands().size(), 1u);
    EXPECT_TRUE(sim.commands().empty());
}

struct AddressCase {
    QString address;
    bool formsUrl;
};

TEST(WiiMClientUrl, OnlyPlainHostsFormUrls) {
    const AddressCase cases[] = {
        {"192.168.1.108", true},
        {"127.0.0.1:8443", true},
        {"wiim.local", true},
        {"[::1]:443", true},
        {"", false},
        {"192.168.1. 108", false},
        {" 192.168.1.108", false},
        {"192.168.1.108\n", false},
        {"host/path", false},
        {"host?x=1", false},
        {"host#frag", false},
        {"user@host", false},
        {"192.168.1.108:port", false},
        {"[::1", false},
        {"h\xc3\xa9st", false},
    };
    for (const auto &c : cases) {
        const auto url = WiiMClient::requestUrl(c.address, "getPlayerStatus");
        EXPECT_EQ(url.has_value(), c.formsUrl) << c.address.toStdString();
        if (url) {
            EXPECT_EQ(url->toString(),
                      "https://" + c.address + "/httpapi.asp?command=getPlayerStatus");
        }
    }
}

TEST(WiiMClientUrl, UnusableAddressReportsAtOnceOnCallersThread) {
    auto client = std::make_shared<WiiMClient>("192.168.1. 5");
    std::optional<bool> volumeDone, muteDone, playDone, nextDone;
    bool statusCalled = false;
    client->setVolume(150, [&](bool ok) { volumeDone = ok; });
    client->toggleMute([&](bool ok) { muteDone = ok; });
    client->playPause([&](bool ok) { playDone = ok; });
    client->nextTrack([&](bool ok) { nextDone = ok; });
    client->fetchStatus([&](auto v, auto m, auto l) { statusCalled = !v && !m && !l; });
    EXPECT_EQ(volumeDone, false);
    EXPECT_EQ(muteDone, false);
    EXPECT_EQ(playDone, false);
    EXPECT_EQ(nextDone, false);
    EXPECT_TRUE(statusCalled);
    EXPECT_EQ(client->currentVolume(), 100) << "the clamped volume is stored anyway";
    EXPECT_FALSE(client->isMuted());
    EXPECT_EQ(client->session()->requestsInFlight(), 0u);
}

} // namespace
