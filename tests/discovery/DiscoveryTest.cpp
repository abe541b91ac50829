#include "Await.h"
#include "DeviceFaults.h"
#include "DeviceSimulator.h"
#include "DiscoveryParsing.h"
#include "FakeMainQueue.h"
#include "ScriptedBonjour.h"
#include "UrlSession.h"
#include "WiiMDiscovery.h"

#include <QDir>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <gtest/gtest.h>

using namespace knobly;
using devicesim::DeviceSimulator;
using devicesim::Fault;
using S = ScriptedService;

namespace {

// SSDP answers are classed by words anywhere, in any case; TXT records keep the first of a key.
TEST(DiscoveryParsing, SsdpAnswersAndTxtRecords) {
    // clang-format off
    const std::pair<QByteArray, SsdpAnswerClass> cases[] = {
        {"HTTP/1.1 200 OK\r\nSERVER: Linux UPnP/1.0 wIiM/4.8\r\n", SsdpAnswerClass::wiimLike},
        {"HTTP/1.1 200 OK\r\nSERVER: LinkPlay\r\n", SsdpAnswerClass::wiimLike},
        {"HTTP/1.1 200 OK\r\nST: urn:x:device:MEDIARENDERER:1\r\n", SsdpAnswerClass::renderer},
        {"HTTP/1.1 200 OK\r\nSERVER: CUPS/2.4 IPP/2.1\r\n", SsdpAnswerClass::other},
        {QByteArray("x\0wiim", 6), SsdpAnswerClass::other}, // text ends at the first zero
        {"\xff\xfe upnp", SsdpAnswerClass::renderer},       // bad UTF-8 is replaced, not fatal
    };
    // clang-format on
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(classifySsdpAnswer(text), expected) << text.toStdString();
    const auto txt = txtRecordDictionary(
        S::txtOf({"model=WiiM Pro", "am=", "flag", "model=second", "=novalue", "fn=K\303\274che"}));
    EXPECT_EQ(txt.keys(), QStringList({"am", "flag", "fn", "model"}));
    EXPECT_EQ(txt.value("model"), "WiiM Pro") << "the first of duplicate keys wins";
    EXPECT_EQ(txt.value("fn"), "K\303\274che");
    // An empty key or one cut off inside a character is skipped.
    EXPECT_TRUE(txtRecordDictionary(S::txtOf({"=x", "\xc3=y", ""})).isEmpty());
    EXPECT_EQ(txtEntry("a=b=c"), std::pair(QByteArray("a"), QByteArray("b=c")));

    // The LOCATION is kept only as a plain http URL on the device that answered: the events
    // are asked for there.
    const QHostAddress sender("192.168.1.20");
    const std::pair<QByteArray, QString> locations[] = {
        {"HTTP/1.1 200 OK\r\nLOCATION: http://192.168.1.20:49152/description.xml\r\n",
         "http://192.168.1.20:49152/description.xml"},
        {"HTTP/1.1 200 OK\r\nlocation:http://192.168.1.20:59152/d.xml  \r\n",
         "http://192.168.1.20:59152/d.xml"},
        {"HTTP/1.1 200 OK\r\nLOCATION: http://192.168.1.99:49152/description.xml\r\n", ""},
        {"HTTP/1.1 200 OK\r\nLOCATION: https://192.168.1.20/description.xml\r\n", ""},
        {"HTTP/1.1 200 OK\r\nLOCATION: http://evil.example/description.xml\r\n", ""},
        {"HTTP/1.1 200 OK\r\nSERVER: WiiM\r\n", ""},
    };
    for (const auto &[datagram, expected] : locations)
        EXPECT_EQ(ssdpLocation(datagram, sender).toString(), expected) << datagram.toStdString();
}

// Services are recognised by name or TXT record. Probe answers confirm only when the firmware
// names LinkPlay, or the project or SSID WiiM.
TEST(DiscoveryParsing, WhatCountsAsAWiiM) {
    using R = std::tuple<bool, QString, QString, DiscoverySource>;
    const auto air = DiscoverySource::airplay, cast = DiscoverySource::chromecast;
    // clang-format off
    const std::tuple<QString, QString, std::optional<TxtRecord>, R> cases[] = {
        {"Living Room", "_airplay._tcp.", S::txtOf({"model=wIIm Pro", "manufacturer=Linkplay"}), {true, "Living Room", "wIIm Pro", air}},
        {"Cast-1234", "_googlecast._tcp.", S::txtOf({"fn=Kitchen", "md=WiiM Mini"}), {true, "Kitchen", "WiiM Mini", cast}},
        {"Cast-1234", "_googlecast._tcp.", S::txtOf({"fn=", "md=WiiM Mini"}), {true, "Cast-1234", "WiiM Mini", cast}},
        {"My wiim", "_airplay._tcp.", S::txtOf({"model=X1"}), {true, "My wiim", "X1", air}},
        {"Sonos One", "_airplay._tcp.", S::txtOf({"model=Sonos", "am=S1"}), {false, "Sonos One", "Sonos", air}},
        {"Speaker", "_airplay._tcp.", S::txtOf({"am=AM1"}), {false, "Speaker", "AM1", air}},
        {"Den", "_linkplay._tcp.", S::txtOf({"md=Box"}), {false, "Den", "Box", DiscoverySource::linkplay}},
        {"airplay room", "_googlecast._tcp.", std::nullopt, {false, "airplay room", "", cast}},
        {"Speaker", "_airplay._tcp.", S::txtOf({"model=\xff" "wiim"}), {false, "Speaker", "", air}},
        {"x", "_airplay._tcp.", S::txtOf({"model=wi", "manufacturer=im"}), {false, "x", "wi", air}},
    };
    // clang-format on
    for (const auto &[name, type, txt, expected] : cases) {
        const auto r = classifyService(name, type, txt);
        EXPECT_EQ(R(r.recognised, r.name, r.model, r.source), expected) << name.toStdString();
    }
    // clang-format off
    const std::pair<QByteArray, QString> answers[] = { // name and model; "": not confirmed
        {R"({"firmware":"LinkPlay.4.8"})", "WiiM Device/"}, {R"({"project":"WIIM_AMP"})", "WiiM Device/WIIM_AMP"},
        {R"({"ssid":"WiiM Pro-9222","project":"Muzo_Mini"})", "WiiM Pro-9222/Muzo_Mini"},
        {R"({"ssid":5,"firmware":"Linkplay.1"})", "WiiM Device/"},
        {R"({"firmware":"wiim-1.0","ssid":"Sonos"})", ""}, {R"({"project":"linkplay-x"})", ""},
        {R"({"ssid":"LinkPlay-AB"})", ""}, {"<html>linkplay</html>", ""},
        {R"({"ssid":5,"DeviceName":["x"],"project":null,"firmware":7})", ""},
    };
    // clang-format on
    for (const auto &[body, expected] : answers) {
        const auto d = probedDevice(decodeDeviceIdentity(body), "WiiM Device", "10.0.0.5", "",
                                    DiscoverySource::ssdp);
        EXPECT_EQ(d ? d->name + '/' + d->model : "", expected) << body.toStdString();
        EXPECT_TRUE(!d || (d->ip == "10.0.0.5" && d->port == 443 && d->isConfirmedWiiM));
    }
}

const QByteArray kWiiMAnswer = "HTTP/1.1 200 OK\r\nSERVER: Linux UPnP/1.0 WiiM/4.8\r\n\r\n";
const QByteArray kRendererAnswer = "HTTP/1.1 200 OK\r\nSERVER: Linux UPnP/1.0 Sonos/70\r\n\r\n";
const QString kAir = "_airplay._tcp.", kCast = "_googlecast._tcp.";

// Virtual time; SSDP aimed at a socket on loopback; Bonjour scripted; probes at a simulator.
class WiiMDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start());
        ASSERT_TRUE(responder.bind(QHostAddress::LocalHost, 0));
        MainQueue::install(queue);
    }
    void TearDown() override {
        discovery.reset();
        UrlSession::abortAll();
        MainQueue::install(nullptr);
    }

    // Probes go to the simulator's port, at whatever address.
    void start(double receiveTimeout = 2.0) {
        discovery = std::make_shared<WiiMDiscovery>(
            WiiMDiscovery::Options{.ssdpAddress = "127.0.0.1",
                                   .ssdpPort = responder.localPort(),
                                   .makeBrowser = [this] { return bonjour.makeBrowser(); },
                                   .probePort = sim.port(),
                                   .ssdpReceiveTimeoutSeconds = receiveTimeout});
        deliveries.clear();
        discovery->startDiscovery([this](const std::vector<WiiMDevice> &list) {
            deliveries.push_back({queue->now(), list});
        });
    }

    // Starts, and waits for the SSDP search sent at 0.5 s, noting where it came from.
    QByteArray search(double receiveTimeout = 2.0) {
        start(receiveTimeout);
        queue->advance(0.5);
        if (!responder.hasPendingDatagrams())
            responder.waitForReadyRead(5000);
        searcher = responder.receiveDatagram();
        return searcher.data();
    }

    // Answers the search from `from` (any 127.x.y.z address).
    void answer(const QByteArray &datagram, const char *from = "127.0.0.1") {
        QUdpSocket sender;
        sender.bind(QHostAddress(QString::fromLatin1(from)), 0);
        sender.writeDatagram(datagram, searcher.senderAddress(), quint16(searcher.senderPort()));
    }

    std::shared_ptr<S> announce(const QString &type, const QString &name, const char *ip,
                                const std::vector<QByteArray> &txt = {}) {
        auto s = std::make_shared<S>(name, type);
        s->setAddresses(std::vector{QHostAddress(QString(ip))});
        s->setTxt(S::txtOf(txt));
        bonjour.browserFor(type)->announce(s);
        return s;
    }

    DeviceSimulator sim;
    QUdpSocket responder;
    QNetworkDatagram searcher;
    std::shared_ptr<FakeMainQueue> queue = std::make_shared<FakeMainQueue>();
    ScriptedBonjour bonjour;
    std::shared_ptr<WiiMDiscovery> discovery;
    std::vector<std::pair<double, std::vector<WiiMDevice>>> deliveries;
};

TEST_F(WiiMDiscoveryTest, NothingFoundIsReportedOnceAtFourSecondsAndStopEndsAll) {
    EXPECT_EQ(search(), ssdpSearchDatagram());
    ASSERT_TRUE(bonjour.browserFor(kAir) && bonjour.browserFor(kCast));
    queue->advance(3.5);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].first, 4.0);
    EXPECT_FALSE(discovery->isSearchingSsdp());
    queue->advance(60);
    EXPECT_EQ(deliveries.size(), 1u);
    EXPECT_TRUE(bonjour.browserFor(kAir)->searching()) << "Bonjour goes on";
    discovery->stopDiscovery();
    EXPECT_FALSE(bonjour.browserFor(kAir)->searching() || bonjour.browserFor(kCast)->searching());
    // Stopped in the middle of the SSDP search, again and again: no descriptor leaks.
    const auto descriptors = [] {
        return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot).size();
    };
    qsizetype before = 0;
    for (int i = 0; i < 11; ++i) {
        before = i == 1 ? descriptors() : before; // after one warm-up run
        search();
        ASSERT_TRUE(discovery->isSearchingSsdp());
        discovery->stopDiscovery();
        EXPECT_FALSE(discovery->isSearchingSsdp());
    }
    EXPECT_LE(descriptors(), before);
}

// Services naming the brand are recorded at once, at their first IPv4 address; a better source
// replaces a record in place.
TEST_F(WiiMDiscoveryTest, BonjourRecordsMergeByAddress) {
    start();
    queue->advance(0.3);
    const auto castB = announce(kCast, "Cast B", "10.0.0.2", {"fn=Kitchen", "md=WiiM Mini"});
    const auto castA = announce(kCast, "Cast A", "10.0.0.1", {"md=WiiM Amp"});
    const auto airB = announce(kAir, "Living Room", "10.0.0.2", {"model=WiiM Pro"});
    const auto castB2 = announce(kCast, "Other name", "10.0.0.2", {"md=WiiM Ultra"});
    const auto mixed = announce(kAir, "WiiM Den", "10.0.0.9");
    mixed->setAddresses(std::vector{QHostAddress("fe80::1"), QHostAddress(),
                                    QHostAddress("10.0.0.7"), QHostAddress("10.0.0.8")});
    const auto v6only = announce(kAir, "WiiM Attic", "10.0.0.9");
    v6only->setAddresses(std::vector{QHostAddress("fe80::2")});
    const auto unresolved = announce(kAir, "WiiM Hall", "10.0.0.9");
    unresolved->setAddresses(std::nullopt);
    for (const auto &s : {castB, castA, airB, castB2, airB, mixed, v6only, unresolved})
        s->deliverResolved();
    unresolved->deliverNotResolved();
    ASSERT_EQ(deliveries.size(), 4u) << "ignored records cause no listener call";
    const auto &list = deliveries.back().second;
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(std::tie(list[0].name, list[0].ip, list[0].model, list[0].source),
              std::tuple("Living Room", "10.0.0.2", "WiiM Pro", DiscoverySource::airplay))
        << "replacement keeps the position";
    EXPECT_EQ(list[1].source, DiscoverySource::chromecast);
    EXPECT_EQ(list[2].ip, "10.0.0.7") << "the first IPv4 address";
    EXPECT_TRUE(discovery->probedIPs().isEmpty()) << "recognised services are not probed";
}

TEST_F(WiiMDiscoveryTest, UnrecognisedServicesAreProbedOnceAndSsdpSkipsThem) {
    search();
    const auto sonos = announce(kAir, "Sonos One", "127.0.0.1", {"model=Speaker"});
    sonos->deliverResolved();
    sonos->deliverResolved();
    answer(kWiiMAnswer);
    ASSERT_TRUE(queue->runUntil([&] { return !deliveries.empty(); }));
    EXPECT_EQ(sim.commands(), std::vector<QString>{"getStatusEx"}) << "one probe per address";
    const WiiMDevice &d = deliveries[0].second.at(0);
    EXPECT_EQ(std::tie(d.name, d.model, d.source),
              std::tuple("WiiM Pro-9222", "WiiM_Pro_with_gc4a", DiscoverySource::airplay));
}

// Answers become probes by their class and sender, once per address; the search ends once no
// answer has come for the receive window.
TEST_F(WiiMDiscoveryTest, SsdpAnswersBecomeProbesByClassAndSender) {
    const QByteArray printer = "HTTP/1.1 200 OK\r\nSERVER: CUPS/2.4\r\n\r\n";
    // clang-format off
    const std::pair<std::vector<std::pair<QByteArray, const char *>>, QSet<QString>> cases[] = {
        {{{kRendererAnswer, "127.0.0.2"}, {printer, "127.0.0.3"}, {kWiiMAnswer, "127.0.0.4"}}, {"127.0.0.2", "127.0.0.4"}},
        {{{"HTTP/1.1 200 OK\r\nX: " + QByteArray(2000, 'x') + "wiim" + QByteArray(1000, 'y'), "127.0.0.6"}}, {"127.0.0.6"}},
        {{{QByteArray(), "127.0.0.7"}, {kWiiMAnswer, "127.0.0.8"}}, {"127.0.0.8"}},
    };
    // clang-format on
    for (const auto &[answers, expected] : cases) {
        SCOPED_TRACE(answers.front().second);
        ASSERT_FALSE(search(0.3).isEmpty());
        for (const auto &[datagram, from] : answers)
            answer(datagram, from);
        // A last answer from an address of its own: once it is probed, so is all before it.
        answer(kWiiMAnswer, "127.0.0.99");
        ASSERT_TRUE(queue->runUntil([&] { return discovery->probedIPs().contains("127.0.0.99"); }));
        auto probed = discovery->probedIPs();
        probed.remove("127.0.0.99");
        EXPECT_EQ(probed, expected);
        queue->advance(0.29);
        EXPECT_TRUE(discovery->isSearchingSsdp());
        queue->advance(0.01);
        EXPECT_FALSE(discovery->isSearchingSsdp());
        discovery->stopDiscovery();
    }
}

TEST_F(WiiMDiscoveryTest, DroppedObjectReportsNothing) {
    sim.setFault(Fault::Delay, 200);
    search();
    answer(kWiiMAnswer);
    ASSERT_TRUE(queue->runUntil([&] { return !discovery->probedIPs().isEmpty(); }));
    discovery.reset();
    // The probe's answer still arrives, and must find nothing.
    ASSERT_TRUE(waitUntil([&] { return UrlSession::allRequestsInFlight() == 0; }));
    queue->advance(10);
    EXPECT_TRUE(deliveries.empty());
}

// Only a 200 answer of JSON naming the brand lists a candidate; a candidate is asked
// once however often it answers. Quitting calls off a probe still waiting on a silent device.
TEST_F(WiiMDiscoveryTest, ProbeListsOnlyWhatAnswersWithTheBrand) {
    std::vector<test::DeviceFault> cases(std::begin(test::kDeviceFaults),
                                         std::end(test::kDeviceFaults));
    cases.push_back({"other brand", Fault::None, true, true, false, true, false});
    for (const test::DeviceFault &c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRequests();
        sim.setFault(c.fault);
        if (c.fault == Fault::None)
            sim.setStatusExBody(R"({"ssid":"Sonos-1","project":"S1","firmware":"s-70"})");
        search();
        answer(kRendererAnswer);
        answer(kRendererAnswer);
        ASSERT_TRUE(!c.reachesRequests || queue->runUntil([&] { return !sim.commands().empty(); }));
        if (c.slow)
            UrlSession::abortAll();
        ASSERT_TRUE(queue->runUntil([] { return UrlSession::allRequestsInFlight() == 0; }));
        queue->advance(4.0);
        ASSERT_FALSE(deliveries.empty());
        EXPECT_EQ(deliveries.back().second.size(), c.statusDecodes ? 1u : 0u);
        EXPECT_TRUE(!(c.answered || c.slow) || sim.commands().size() == 1u)
            << "one probe per address";
        discovery->stopDiscovery();
    }
}

} // namespace
