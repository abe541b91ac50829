#include "Await.h"
#include "DeviceFaults.h"
#include "DeviceIdentity.h"
#include "DeviceInputs.h"
#include "DeviceSimulator.h"
#include "FakeMainQueue.h"
#include "PlayerStatus.h"
#include "WiiMClient.h"

#include <gtest/gtest.h>

using namespace knobly;
using devicesim::DeviceSimulator;
using devicesim::Fault;

namespace {

class WiiMClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        MainQueue::install(queue);
        ASSERT_TRUE(sim.start());
        client = std::make_shared<WiiMClient>(sim.address());
    }
    void TearDown() override { MainQueue::install(nullptr); }
    // Waits for `done`, virtual time moving on by 10 ms at each turn of the loop.
    bool settle(const std::function<bool()> &done) {
        return waitUntil([&] {
            queue->advance(0.01);
            return done();
        });
    }

    std::shared_ptr<FakeMainQueue> queue = std::make_shared<FakeMainQueue>();
    DeviceSimulator sim;
    std::shared_ptr<WiiMClient> client;
};

using C = WiiMClient;

// Each call sends exactly one request; the volume it stores (50 unless told) is clamped first.
TEST_F(WiiMClientTest, CommandsSendOneExactRequest) {
    using Row = std::tuple<const char *, std::function<void(C &)>, QString, std::int64_t>;
    // clang-format off
    const Row rows[] = {
        {"vol35", [](C &c) { c.setVolume(35); }, "setPlayerCmd:vol:35", 35},
        {"vol150", [](C &c) { c.setVolume(150); }, "setPlayerCmd:vol:100", 100},
        {"volMinus5", [](C &c) { c.setVolume(-5); }, "setPlayerCmd:vol:0", 0},
        {"downAt2", [](C &c) { c.setCurrentVolume(2); c.volumeDown(); }, "setPlayerCmd:vol:0", 0},
        {"hugeStep", [](C &c) { c.volumeUp(std::numeric_limits<std::int64_t>::max()); }, "setPlayerCmd:vol:100", 100},
        {"hugeStepDown", [](C &c) { c.volumeDown(std::numeric_limits<std::int64_t>::min()); }, "setPlayerCmd:vol:100", 100},
        {"aboveTheLimit", [](C &c) { c.setVolumeLimit(60); c.setVolume(80); }, "setPlayerCmd:vol:60", 60},
        {"limitNeverBelowOne", [](C &c) { c.setVolumeLimit(-4); c.setVolume(30); }, "setPlayerCmd:vol:1", 1},
        {"mute", [](C &c) { c.toggleMute(); }, "setPlayerCmd:mute:1", 50},
        {"unmute", [](C &c) { c.setIsMuted(true); c.toggleMute(); }, "setPlayerCmd:mute:0", 50},
        {"pause", [](C &c) { c.setIsPlaying(true); c.playPause(); }, "setPlayerCmd:pause", 50},
        {"resume", [](C &c) { c.playPause(); }, "setPlayerCmd:resume", 50},
        {"next", [](C &c) { c.nextTrack(); }, "setPlayerCmd:next", 50},
        {"prev", [](C &c) { c.prevTrack(); }, "setPlayerCmd:prev", 50},
        {"stop", [](C &c) { c.stop(); }, "setPlayerCmd:stop", 50},
        {"input", [](C &c) { c.switchInput("optical"); }, "setPlayerCmd:switchmode:optical", 50},
        {"preset", [](C &c) { c.playPreset(3); }, "MCUKeyShortClick:3", 50},
        {"sleep", [](C &c) { c.setSleepTimer(1800); }, "setShutdown:1800", 50},
        {"sleepOff", [](C &c) { c.setSleepTimer(-7); }, "setShutdown:-1", 50},
        {"sleepLeft", [](C &c) { c.fetchSleepTimer([](auto) {}); }, "getShutdown", 50},
        {"status", [](C &c) { c.fetchStatus({}); }, "getPlayerStatus", 35},
        {"join", [](C &c) { c.joinGroup(" 127.0.0.9:4443"); }, "ConnectMasterAp:JoinGroupMaster:eth127.0.0.9:wifi0.0.0.0", 50},
        {"kickOut", [](C &c) { c.removeFromGroup("127.0.0.9"); }, "multiroom:SlaveKickout:127.0.0.9", 50},
        {"ungroup", [](C &c) { c.ungroup(); }, "multiroom:Ungroup", 50},
        {"leave", [](C &c) { c.leaveGroup(); }, "multiroom:LeaveGroup", 50},
        {"followers", [](C &c) { c.fetchSlaveList([](auto) {}); }, "multiroom:getSlaveList", 50},
    };
    // clang-format on
    for (const auto &[name, act, command, volume] : rows) {
        SCOPED_TRACE(name);
        sim.clearRequests();
        sim.setVolume(35);
        client = std::make_shared<WiiMClient>(sim.address());
        act(*client);
        ASSERT_TRUE(waitUntil(
            [&] { return !sim.commands().empty() && client->session()->requestsInFlight() == 0; }));
        ASSERT_EQ(sim.requests().size(), 1u);
        EXPECT_EQ(sim.requests()[0].target, "/httpapi.asp?command=" + command);
        EXPECT_EQ(client->currentVolume(), volume);
    }
}

// Volume steps merge (the first, then the latest). A toggle shows at once, so a second one
// before the first is answered undoes it; a status asked before the changes puts nothing back.
TEST_F(WiiMClientTest, CommandsMadeWhileAnswersAreAwaited) {
    sim.setFault(Fault::Delay, 300);
    auto done = std::make_shared<Await<bool>>();
    auto status = std::make_shared<Await<std::optional<std::int64_t>>>();
    client->fetchStatus([status](auto volume, auto, auto) { status->set(volume); });
    client->toggleMute(deliverTo(done));
    EXPECT_TRUE(client->isMuted());
    client->toggleMute(deliverTo(done));
    EXPECT_FALSE(client->isMuted());
    client->setCurrentVolume(20);
    for (int i = 0; i < 30; ++i)
        client->volumeUp(1);
    client->setVolume(60, deliverTo(done));
    ASSERT_TRUE(settle([&] { return done->count() == 3 && status->count() == 1; }));
    EXPECT_EQ(sim.volume(), 60);
    EXPECT_EQ(client->currentVolume(), 60) << "the older status answer was stored";
    const auto sent = sim.commands();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "setPlayerCmd:mute:1"), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "setPlayerCmd:mute:0"), 1);
    EXPECT_EQ(sent.size(), 5u);
    EXPECT_FALSE(client->isMuted());
    client->fetchStatus([status](auto volume, auto, auto) { status->set(volume); });
    ASSERT_TRUE(status->wait(1));
    EXPECT_EQ(client->isMuted(), sim.muted()) << "once all is answered, the device's word holds";
}

// Events carry the device's word unasked: what the user asked for and is not yet answered
// stays, an earlier level of ours echoed late never moves the display back, and a poll that
// left before an event does not undo it.
TEST_F(WiiMClientTest, EventsNeverMoveTheDisplayBackOverTheUsersChanges) {
    auto done = std::make_shared<Await<bool>>();
    const auto volumeEvent = [&](std::int64_t v) {
        client->applyEvent({.volume = v, .muted = {}, .transport = {}, .track = {}});
        return client->currentVolume();
    };
    client->setVolume(41, deliverTo(done));
    EXPECT_EQ(volumeEvent(30), 41) << "a command awaited";
    ASSERT_TRUE(settle([&] { return done->count() == 1; }));
    client->setVolume(45, deliverTo(done));
    ASSERT_TRUE(settle([&] { return done->count() == 2; }));
    EXPECT_EQ(volumeEvent(41), 45) << "our earlier level, echoed after the later one";
    EXPECT_EQ(volumeEvent(45), 45);
    EXPECT_EQ(volumeEvent(41), 41) << "once confirmed, the same level is a change made elsewhere";

    const auto muteEvent = [&](bool m) {
        client->applyEvent({.volume = {}, .muted = m, .transport = {}, .track = {}});
        return client->isMuted();
    };
    client->toggleMute(deliverTo(done));
    client->toggleMute(deliverTo(done));
    EXPECT_FALSE(muteEvent(true)) << "two presses awaited";
    ASSERT_TRUE(settle([&] { return done->count() == 4; }));
    EXPECT_FALSE(muteEvent(true)) << "the first press echoed after the second";
    EXPECT_FALSE(muteEvent(false));
    EXPECT_TRUE(muteEvent(true));

    auto status = std::make_shared<Await<std::optional<PlayerStatus>>>();
    sim.setFault(Fault::Delay, 200);
    client->fetchPlayerStatus(deliverTo(status));
    EXPECT_EQ(volumeEvent(77), 77);
    client->applyEvent({.volume = {},
                        .muted = {},
                        .transport = QStringLiteral("pause"),
                        .track = DeviceEvent::Track{"Blue", "Joni", "Blue", {}}});
    ASSERT_TRUE(settle([&] { return status->count() == 1; }));
    EXPECT_EQ(client->currentVolume(), 77) << "a poll that left before the event";
    EXPECT_EQ(client->state().nowPlaying, QStringLiteral("Joni \u2014 Blue"));
    EXPECT_FALSE(client->isPlaying());
    EXPECT_EQ(client->missedChanges(), 0) << "not following events: nothing counted";
}

// Fifty notches in half a second: one request in flight at a time, none closer than 100 ms
// apart, so at most 8 whatever the device's speed, and the final level last.
TEST_F(WiiMClientTest, AVolumeBurstIsBoundedAndEndsOnTheLatestLevel) {
    for (const int deviceMs : {2, 40}) {
        SCOPED_TRACE(deviceMs);
        sim.setFault(Fault::Delay, deviceMs);
        sim.setVolume(20);
        client = std::make_shared<WiiMClient>(sim.address());
        client->setCurrentVolume(20);
        queue->advance(1.0);
        sim.clearRequests();
        std::size_t mostInFlight = 0;
        for (int i = 0; i < 50; ++i) {
            client->volumeUp(1);
            mostInFlight = std::max(mostInFlight, client->session()->requestsInFlight());
            // Each answer is in before the next notch: only the clock holds requests back.
            ASSERT_TRUE(waitUntil([&] { return client->session()->requestsInFlight() == 0; }));
            queue->advance(0.01);
        }
        ASSERT_TRUE(settle([&] { return sim.volume() == 70; }));
        queue->advance(1.0);
        EXPECT_LE(sim.commands().size(), 8u);
        QString lastVolume; // the latest level goes last
        for (const QString &command : sim.commands())
            if (command.startsWith("setPlayerCmd:vol:"))
                lastVolume = command;
        EXPECT_EQ(lastVolume, "setPlayerCmd:vol:70");
        EXPECT_EQ(mostInFlight, 1u);
        EXPECT_EQ(client->currentVolume(), 70);
    }
}

// A command is done only when answered 200 "OK" (a hang ends by the timeout); a status that
// does not decode changes nothing but reachability. One signal for each change of the state,
// however many fields one answer changed; none for an answer that changed nothing.
TEST_F(WiiMClientTest, EveryDeviceFaultIsReportedAsSuch) {
    std::vector<test::DeviceFault> cases(std::begin(test::kDeviceFaults),
                                         std::end(test::kDeviceFaults));
    cases.push_back({"None", Fault::None, true, true, true, true, false});
    sim.setStatus("play");
    for (const test::DeviceFault &c : cases) {
        SCOPED_TRACE(c.name);
        sim.setFault(c.fault);
        client = std::make_shared<WiiMClient>(sim.address());
        client->setCurrentVolume(12);
        int changes = 0;
        QObject::connect(client.get(), &WiiMClient::stateChanged, [&changes] { ++changes; });
        auto done = std::make_shared<Await<bool>>();
        client->toggleMute(deliverTo(done));
        client->nextTrack(deliverTo(done));
        EXPECT_EQ(done->wait(0), c.carriedOut);
        EXPECT_EQ(done->wait(1), c.carriedOut);
        EXPECT_EQ(client->isMuted(), c.carriedOut) << "flips only when done";
        auto volume = std::make_shared<Await<std::optional<std::int64_t>>>();
        client->fetchStatus([volume](auto v, auto, auto) { volume->set(v); });
        EXPECT_EQ(volume->wait().value_or(std::nullopt).has_value(), c.statusDecodes);
        EXPECT_EQ(client->currentVolume(), c.statusDecodes ? 35 : 12);
        EXPECT_EQ(client->isPlaying(), c.statusDecodes);
        EXPECT_EQ(!client->nowPlaying().isEmpty(), c.statusDecodes);
        const DeviceState &state = client->state();
        EXPECT_EQ(state.reachable, std::optional(c.statusDecodes));
        EXPECT_EQ(state.input.has_value() && !state.title.isEmpty(), c.statusDecodes);
        EXPECT_EQ(changes, c.carriedOut ? 2 : 3) << "shown, (taken back,) answered";
        volume = std::make_shared<Await<std::optional<std::int64_t>>>();
        client->fetchStatus([volume](auto v, auto, auto) { volume->set(v); });
        volume->wait();
        EXPECT_EQ(changes, c.carriedOut ? 2 : 3) << "the same answer again";
    }
}

TEST_F(WiiMClientTest, DroppedClientsRequestsStillComplete) {
    sim.setFault(Fault::Delay, 200);
    auto done = std::make_shared<Await<bool>>();
    client->setVolume(20, deliverTo(done));
    client->toggleMute(deliverTo(done));
    client->fetchStatus([done](auto v, auto, auto) { done->set(v.has_value()); });
    client.reset();
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(done->wait(i), std::optional(true)) << i;
    EXPECT_EQ(sim.volume(), 20);
}

// Only plain hosts form URLs; with any other address every command fails at once.
// A host that trickles its answer is given up on when the probe's time is up, once.
TEST_F(WiiMClientTest, AnIdentityProbeEndsInItsTimeEvenAgainstADrip) {
    sim.setFault(Fault::Drip, 200); // each byte well inside the wait for more
    auto identity = std::make_shared<Await<std::optional<DeviceIdentity>>>();
    requestDeviceIdentity(sim.address(), 1.0, deliverTo(identity));
    const auto answer = identity->wait(0, 5000);
    ASSERT_TRUE(answer.has_value()) << "still waiting after 5 s";
    EXPECT_FALSE(answer->has_value());
    EXPECT_FALSE(identity->wait(1, 300)) << "completed twice";
}

// A multiroom command naming a device that cannot stand in it is refused at once, unsent: an
// empty leader address would reach the device as "eth:wifi0.0.0.0", which devices misread.
TEST_F(WiiMClientTest, GroupCommandsNamingNoUsableAddressAreNotSent) {
    for (const char *address : {"", "  ", "localhost", "0.0.0.0", "255.255.255.255", "::1",
                                "[::1]:443", "127.0.0.9:1:2", "127.0.0.9/8", "eth1.2.3.4"}) {
        SCOPED_TRACE(address);
        std::optional<bool> joined, removed;
        client->joinGroup(address, [&](bool done) { joined = done; });
        client->removeFromGroup(address, [&](bool done) { removed = done; });
        EXPECT_EQ(joined, false) << "answered at once";
        EXPECT_EQ(removed, false);
        EXPECT_FALSE(client->failureReason().isEmpty());
    }
    EXPECT_TRUE(sim.commands().empty());
}

TEST(WiiMClientUrl, OnlyPlainHostsFormUrls) {
    // clang-format off
    const std::pair<QString, bool> cases[] = {
        {"192.168.1.108", true}, {"127.0.0.1:8443", true}, {"wiim.local", true}, {"[::1]:443", true},
        {"", false}, {"192.168.1. 108", false}, {" 192.168.1.108", false}, {"192.168.1.108\n", false},
        {"host/path", false}, {"host?x=1", false}, {"host#frag", false}, {"user@host", false},
        {"192.168.1.108:port", false}, {"[::1", false}, {"h\xc3\xa9st", false},
    };
    // clang-format on
    for (const auto &[address, formsUrl] : cases) {
        const QUrl url("https://" + address + "/httpapi.asp?command=getPlayerStatus");
        EXPECT_EQ(WiiMClient::requestUrl(address, "getPlayerStatus"),
                  formsUrl ? std::optional(url) : std::nullopt)
            << address.toStdString();
    }
    auto client = std::make_shared<WiiMClient>("192.168.1. 5");
    int failed = 0;
    const auto fail = [&failed](bool ok) { failed += !ok; };
    client->setVolume(150, fail);
    for (auto command : {&C::toggleMute, &C::playPause, &C::nextTrack})
        (client.get()->*command)(fail);
    client->fetchStatus([&](auto v, auto m, auto l) { failed += !v && !m && !l; });
    requestDeviceIdentity("192.168.1. 5", 1.0, [&](auto identity) { failed += !identity; });
    EXPECT_EQ(failed, 6) << "every completion is called, at once";
    EXPECT_EQ(client->currentVolume(), 100) << "the clamped volume is stored anyway";
    EXPECT_FALSE(client->isMuted());
}

// What the device's answers decode to; anything odd gives "absent", never a guess.
TEST(Decoding, StatusTextsAndNumbers) {
    using Row = std::tuple<QByteArray, std::optional<std::int64_t>, std::optional<bool>,
                           std::optional<QString>, std::optional<bool>>;
    const QString worldHello = QString::fromUtf8("World \xe2\x80\x94 Hello");
    // clang-format off
    const Row rows[] = {
        {R"({"status":"play","vol":"35","mute":"0","Title":"48656C6C6F","Artist":"576F726C64"})", 35, false, worldHello, true},
        {R"({"vol":35.0,"mute":1,"status":"stop"})", 35, true, {}, false},
        {R"({"vol":35.5,"mute":"2","status":1})", {}, false, {}, {}},
        {R"({"vol":1e300,"mute":null})", {}, {}, {}, {}},
        {R"({"vol":9223372036854775808})", {}, {}, {}, {}},
        {R"({"vol":"9223372036854775808"})", {}, {}, {}, {}},
        {R"({"vol":"-9223372036854775808"})", 0, {}, {}, {}},
        {R"({"vol":"250"})", 100, {}, {}, {}},
        {R"({"vol":" 35"})", {}, {}, {}, {}},
        {R"({"vol":[35],"Title":{"a":"b"},"Artist":5})", {}, {}, {}, {}},
        {R"({"Artist":"FF","Title":"48656C6C6F"})", {}, {}, QString("Hello"), {}},
        {R"({"Title":"Song"})", {}, {}, QString(""), {}},
    };
    // clang-format on
    for (const auto &[body, volume, muted, line, playing] : rows) {
        SCOPED_TRACE(body.toStdString());
        const auto status = decodePlayerStatus(body);
        ASSERT_TRUE(status);
        EXPECT_EQ(std::tie(status->volume, status->muted, status->nowPlaying, status->playing),
                  std::tie(volume, muted, line, playing));
    }
    EXPECT_FALSE(decodePlayerStatus(R"([{"vol":"35"}])")) << "not an object";
    // clang-format off
    const std::pair<QString, std::optional<QString>> hex[] = {
        {"53C3B32044616EC3A76F", QString::fromUtf8("S\xc3\xb3 Dan\xc3\xa7o")}, {"414", QString("A") + QChar(0x04)},
        {"ZZ41", QString("A")}, {"-141", QString("A")}, {"+", QString("")}, {"FF", std::nullopt}, {"C3", std::nullopt},
    };
    // clang-format on
    for (const auto &[text, decoded] : hex)
        EXPECT_EQ(hexDecode(text), decoded) << text.toStdString();
    // Only a real web address is album art: the device's "unknow" and other schemes are not.
    const char *arts[] = {"https://i.example/1.png", "unknow", "file:///etc/passwd", "http://"};
    for (const char *art : arts)
        EXPECT_EQ(decodeAlbumArt(QByteArray(R"({"metaData":{"albumArtURI":")") + art + "\"}}"),
                  art == arts[0] ? std::optional(QUrl(art)) : std::nullopt);
    // The sleep timer's seconds left: none running is 0, whatever the device says for it.
    const std::pair<QByteArray, std::optional<std::int64_t>> left[] = {
        {"1790", 1790}, {" 0\r\n", 0},          {"-1", 0}, {"99999999", 7 * 24 * 3600}, {"", {}},
        {"12s", {}},    {"unknown command", {}}};
    for (const auto &[body, seconds] : left)
        EXPECT_EQ(decodeSecondsLeft(body), seconds) << body.toStdString();
}

// HDMI input and ARC are one input; presets keep gaps and drop unplayable numbers.
TEST(Decoding, InputsAndPresets) {
    EXPECT_TRUE(isSameInput("HDMI", "ARC"));
    EXPECT_FALSE(isSameInput("optical", "ARC"));
    const auto presets = decodePresets(
        R"({"preset_num":3,"preset_list":[{"number":1,"name":"BBC Radio 3","url":"unknow"},)"
        R"({"number":"4","name":"unknow"},{"number":0,"name":"x"},{"name":"no number"}]})");
    ASSERT_TRUE(presets);
    ASSERT_EQ(presets->size(), 2u) << "gaps kept, unplayable numbers dropped";
    EXPECT_EQ((*presets)[0].name, "BBC Radio 3");
    EXPECT_EQ((*presets)[1].number, 4);
    EXPECT_EQ((*presets)[1].name, "Preset 4");
    EXPECT_EQ(decodePresets(R"({"preset_num":0})"), std::nullopt);
}

} // namespace
