#include "Await.h"
#include "DeviceFaults.h"
#include "DeviceInputs.h"
#include "DeviceSimulator.h"
#include "PlayerStatus.h"
#include "WiiMClient.h"

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
        waitUntil([&] { return sim.commands().size() >= n; });
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
    ASSERT_TRUE(waitUntil([&] { return client->session()->requestsInFlight() == 0; }));
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0], c.expectedCommand);
    EXPECT_EQ(sim.requests()[0].target, "/httpapi.asp?command=" + c.expectedCommand);
    EXPECT_EQ(client->currentVolume(), c.expectedVolume);
}

const auto noCallback = [](auto step) {
    return [step](WiiMClient &c, WiiMClient::DoneCallback) { step(c); };
};

using C = WiiMClient;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, ClientCommands, ::testing::Values(
    CommandCase{"vol35", {}, [](C &c, auto d) { c.setVolume(35, d); }, "setPlayerCmd:vol:35", 35},
    CommandCase{"vol150", {}, [](C &c, auto d) { c.setVolume(150, d); }, "setPlayerCmd:vol:100", 100},
    CommandCase{"volMinus5", {}, [](C &c, auto d) { c.setVolume(-5, d); }, "setPlayerCmd:vol:0", 0},
    CommandCase{"upAt99", [](C &c) { c.setCurrentVolume(99); }, noCallback([](C &c) { c.volumeUp(); }), "setPlayerCmd:vol:100", 100},
    CommandCase{"downAt2", [](C &c) { c.setCurrentVolume(2); }, noCallback([](C &c) { c.volumeDown(); }), "setPlayerCmd:vol:0", 0},
    CommandCase{"upSaturates", {}, noCallback([](C &c) { c.volumeUp(std::numeric_limits<std::int64_t>::max()); }), "setPlayerCmd:vol:100", 100},
    CommandCase{"muteWhenUnmuted", {}, [](C &c, auto d) { c.toggleMute(d); }, "setPlayerCmd:mute:1", 50},
    CommandCase{"unmuteWhenMuted", [](C &c) { c.setIsMuted(true); }, [](C &c, auto d) { c.toggleMute(d); }, "setPlayerCmd:mute:0", 50},
    CommandCase{"pauseWhenPlaying", [](C &c) { c.setIsPlaying(true); }, [](C &c, auto d) { c.playPause(d); }, "setPlayerCmd:pause", 50},
    CommandCase{"resumeWhenPaused", {}, [](C &c, auto d) { c.playPause(d); }, "setPlayerCmd:resume", 50},
    CommandCase{"next", {}, [](C &c, auto d) { c.nextTrack(d); }, "setPlayerCmd:next", 50},
    CommandCase{"prev", {}, [](C &c, auto d) { c.prevTrack(d); }, "setPlayerCmd:prev", 50},
    CommandCase{"aboveTheLimit", [](C &c) { c.setVolumeLimit(60); }, [](C &c, auto d) { c.setVolume(80, d); }, "setPlayerCmd:vol:60", 60},
    CommandCase{"upToTheLimit", [](C &c) { c.setVolumeLimit(60); c.setCurrentVolume(58); }, noCallback([](C &c) { c.volumeUp(5); }), "setPlayerCmd:vol:60", 60},
    CommandCase{"limitNeverBelowOne", [](C &c) { c.setVolumeLimit(-4); }, [](C &c, auto d) { c.setVolume(30, d); }, "setPlayerCmd:vol:1", 1},
    CommandCase{"switchInput", {}, [](C &c, auto d) { c.switchInput("optical", d); }, "setPlayerCmd:switchmode:optical", 50},
    CommandCase{"preset", {}, [](C &c, auto d) { c.playPreset(3, d); }, "MCUKeyShortClick:3", 50},
    CommandCase{"stop", {}, [](C &c, auto d) { c.stop(d); }, "setPlayerCmd:stop", 50},
    CommandCase{"status", {}, [](C &c, auto) { c.fetchStatus([](auto, auto, auto) {}); }, "getPlayerStatus", 35}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

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

// Commands report by transport only; a status that does not decode changes nothing.
TEST_F(WiiMClientTest, EveryDeviceFaultReportsByTransportOnly) {
    for (const test::DeviceFault &c : test::kDeviceFaults) {
        if (c.slow)
            continue; // the timeout has a case of its own
        SCOPED_TRACE(c.name);
        sim.setFault(c.fault);
        client = std::make_shared<WiiMClient>(sim.address());
        client->setCurrentVolume(12);
        auto next = std::make_shared<Await<bool>>();
        auto mute = std::make_shared<Await<bool>>();
        client->nextTrack(deliverTo(next));
        client->toggleMute(deliverTo(mute));
        EXPECT_EQ(next->wait(), c.answered);
        EXPECT_EQ(mute->wait(), c.answered);
        EXPECT_EQ(client->isMuted(), c.answered) << "the flag flips only on an answer";
        auto volume = std::make_shared<Await<std::optional<std::int64_t>>>();
        client->fetchStatus([volume](auto v, auto, auto) { volume->set(v); });
        const auto got = volume->wait();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->has_value(), c.statusDecodes);
        EXPECT_EQ(client->currentVolume(), c.statusDecodes ? 35 : 12);
    }
}

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

struct AddressCase {
    QString address;
    bool formsUrl;
};

TEST(WiiMClientUrl, OnlyPlainHostsFormUrls) {
    // clang-format off
    const AddressCase cases[] = {
        {"192.168.1.108", true}, {"127.0.0.1:8443", true}, {"wiim.local", true}, {"[::1]:443", true},
        {"", false}, {"192.168.1. 108", false}, {" 192.168.1.108", false}, {"192.168.1.108\n", false},
        {"host/path", false}, {"host?x=1", false}, {"host#frag", false}, {"user@host", false},
        {"192.168.1.108:port", false}, {"[::1", false}, {"h\xc3\xa9st", false},
    };
    // clang-format on
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

// What the device's answers decode to; anything odd gives "absent", never a guess.
TEST(Decoding, StatusTextsAndNumbersByTheTable) {
    struct Row {
        QByteArray body;
        bool parses;
        std::optional<std::int64_t> volume;
        std::optional<bool> muted;
        std::optional<QString> line;
        std::optional<bool> playing;
    };
    const QString worldHello = QString::fromUtf8("World \xe2\x80\x94 Hello");
    // clang-format off
    const Row rows[] = {
        {R"({"status":"play","vol":"35","mute":"0","Title":"48656C6C6F","Artist":"576F726C64"})", true, 35, false, worldHello, true},
        {R"({"vol":35.0,"mute":1,"status":"stop"})", true, 35, true, {}, false},
        {R"({"vol":35.5,"mute":"2","status":1})", true, {}, false, {}, {}},
        {R"({"vol":1e300,"mute":null})", true, {}, {}, {}, {}},
        {R"({"vol":9223372036854775808})", true, {}, {}, {}, {}},
        {R"({"vol":"99999999999999999999"})", true, {}, {}, {}, {}},
        {R"({"vol":"-3"})", true, -3, {}, {}, {}},
        {R"({"vol":" 35"})", true, {}, {}, {}, {}},
        {R"({"vol":[35],"Title":{"a":"b"},"Artist":5})", true, {}, {}, {}, {}},
        {R"({"Artist":"FF","Title":"48656C6C6F"})", true, {}, {}, QString("Hello"), {}},
        {R"({"Title":"Song"})", true, {}, {}, QString(""), {}},
        {"<html><body>404 Not Found</body></html>", false, {}, {}, {}, {}},
        {R"([{"vol":"35"}])", false, {}, {}, {}, {}},
        {R"({"vol":"35")", false, {}, {}, {}, {}},
    };
    // clang-format on
    for (const Row &r : rows) {
        SCOPED_TRACE(r.body.toStdString());
        const auto status = decodePlayerStatus(r.body);
        ASSERT_EQ(status.has_value(), r.parses);
        if (!status)
            continue;
        EXPECT_EQ(status->volume, r.volume);
        EXPECT_EQ(status->muted, r.muted);
        EXPECT_EQ(status->nowPlaying, r.line);
        EXPECT_EQ(status->playing, r.playing);
    }
    const std::pair<QString, std::optional<QString>> hex[] = {
        {"53C3B32044616EC3A76F", QString::fromUtf8("S\xc3\xb3 Dan\xc3\xa7o")},
        {"414", QString("A") + QChar(0x04)},
        {"ZZ41", QString("A")},
        {"FF", std::nullopt},
        {"C3", std::nullopt},
        {"-141", QString("A")},
        {"+", QString("")}};
    for (const auto &[text, decoded] : hex)
        EXPECT_EQ(hexDecode(text), decoded) << text.toStdString();
    EXPECT_EQ(integerFromDecimalText("-9223372036854775808"),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(integerFromDecimalText("9223372036854775808"), std::nullopt);
    EXPECT_EQ(integerFromDecimalText("1e3"), std::nullopt);
    // Only a real web address is album art: the device's "unknow" and other schemes are not.
    EXPECT_EQ(decodeAlbumArt(R"({"metaData":{"albumArtURI":"https://i.example/1.png"}})"),
              QUrl("https://i.example/1.png"));
    for (const char *body : {R"({"metaData":{"albumArtURI":"unknow"}})",
                             R"({"metaData":{"albumArtURI":"file:///etc/passwd"}})",
                             R"({"metaData":{"albumArtURI":"http://"}})", "unknown command"})
        EXPECT_EQ(decodeAlbumArt(body), std::nullopt) << body;
}

TEST(Decoding, ModelsModesAndPresets) {
    const auto modes = [](const QString &project) {
        QStringList m;
        for (const DeviceInput &input : inputsOfModel(project))
            m << input.mode;
        return m;
    };
    const QStringList base{"wifi", "bluetooth", "line-in", "optical"};
    EXPECT_EQ(modes("WiiM_Pro_with_gc4a"), base);
    EXPECT_EQ(modes("Some_Future_Box"), base) << "unknown models get the common inputs";
    EXPECT_EQ(modes("WiiM_Amp_Ultra"), base + QStringList{"ARC"});
    EXPECT_EQ(modes("WiiM_Ultra"), base + QStringList({"HDMI", "phono"}));
    const std::pair<std::int64_t, const char *> playing[] = {
        {31, "wifi"}, {40, "line-in"}, {41, "bluetooth"}, {43, "optical"}, {49, "HDMI"},
        {58, "ARC"},  {54, "phono"},   {0, nullptr},      {-1, nullptr},   {77, nullptr}};
    for (const auto &[mode, input] : playing)
        EXPECT_EQ(inputOfMode(mode), input ? std::optional(QString(input)) : std::nullopt) << mode;
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
