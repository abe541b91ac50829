#include "WiiMDiscovery.h"
#include "Await.h"
#include "DeviceFaults.h"
#include "DeviceSimulator.h"
#include "FakeMainQueue.h"
#include "ScriptedBonjour.h"
#include "UrlSession.h"

#include <QDir>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <gtest/gtest.h>

using namespace knobly;
using devicesim::DeviceSimulator;
using devicesim::Fault;

namespace {

// A UDP socket on loopback standing in for the network's SSDP responders.
class LoopbackResponder {
public:
    LoopbackResponder() { socket_.bind(QHostAddress::LocalHost, 0); }
    quint16 port() const { return socket_.localPort(); }

    // Waits for the search; remembers where it came from.
    QByteArray receiveSearch() {
        if (!socket_.hasPendingDatagrams() && !socket_.waitForReadyRead(5000))
            return {};
        const QNetworkDatagram search = socket_.receiveDatagram();
        searcher_ = search.senderAddress();
        searcherPort_ = quint16(search.senderPort());
        return search.data();
    }

    // Answers the searcher from `from` (any 127.x.y.z address).
    void answer(const QByteArray &datagram, const char *from = "127.0.0.1") const {
        QUdpSocket sender;
        sender.bind(QHostAddress(QString::fromLatin1(from)), 0);
        sender.writeDatagram(datagram, searcher_, searcherPort_);
    }

private:
    QUdpSocket socket_;
    QHostAddress searcher_;
    quint16 searcherPort_ = 0;
};

const QByteArray kWiiMAnswer = "HTTP/1.1 200 OK\r\nSERVER: Linux UPnP/1.0 WiiM/4.8\r\n"
                               "ST: urn:schemas-upnp-org:device:MediaRenderer:1\r\n\r\n";
const QByteArray kRendererAnswer = "HTTP/1.1 200 OK\r\nSERVER: Linux UPnP/1.0 Sonos/70\r\n\r\n";
const QByteArray kPrinterAnswer = "HTTP/1.1 200 OK\r\nSERVER: CUPS/2.4\r\n\r\n";

std::size_t openDescriptors() {
    return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot).size();
}

class WiiMDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue = std::make_shared<FakeMainQueue>();
        MainQueue::install(queue);
    }
    void TearDown() override {
        if (discovery)
            discovery->stopDiscovery();
        discovery.reset();
        UrlSession::abortAll();
        MainQueue::install(nullptr);
    }

    void start(std::optional<quint16> probePort = std::nullopt, double receiveTimeout = 2.0) {
        WiiMDiscovery::Options o;
        o.ssdpReceiveTimeoutSeconds = receiveTimeout;
        o.ssdpAddress = QStringLiteral("127.0.0.1");
        o.ssdpPort = responder.port();
        o.makeBrowser = [this] { return bonjour.makeBrowser(); };
        o.probePort = probePort;
        discovery = std::make_shared<WiiMDiscovery>(o);
        discovery->startDiscovery([this](const std::vector<WiiMDevice> &list) {
            deliveries.push_back({queue->now(), list});
        });
    }

    std::shared_ptr<ScriptedService> service(const QString &name, const QString &type,
                                             std::vector<QByteArray> addresses,
                                             std::optional<QByteArray> txt) {
        auto s = std::make_shared<ScriptedService>(name, type);
        s->setAddresses(std::move(addresses));
        s->setTxt(std::move(txt));
        return s;
    }

    struct Delivery {
        double at;
        std::vector<WiiMDevice> devices;
    };

    std::shared_ptr<FakeMainQueue> queue;
    LoopbackResponder responder;
    ScriptedBonjour bonjour;
    std::shared_ptr<WiiMDiscovery> discovery;
    std::vector<Delivery> deliveries;
};

TEST_F(WiiMDiscoveryTest, TimelineStartsSearchesInOrderAndReportsOnceWhenNothingIsFound) {
    start();
    ASSERT_NE(bonjour.browserFor("_airplay._tcp."), nullptr);
    EXPECT_EQ(bonjour.browserFor("_airplay._tcp.")->domain(), "local.");
    EXPECT_EQ(bonjour.browserFor("_googlecast._tcp."), nullptr);
    queue->advance(0.29);
    EXPECT_EQ(bonjour.browserFor("_googlecast._tcp."), nullptr);
    queue->advance(0.01);
    ASSERT_NE(bonjour.browserFor("_googlecast._tcp."), nullptr);
    EXPECT_FALSE(discovery->isSearchingSsdp());
    queue->advance(0.2);
    EXPECT_TRUE(discovery->isSearchingSsdp()) << "the SSDP search starts at 0.5 s";
    EXPECT_EQ(
        responder.receiveSearch(),
        QByteArray("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                   "MX: 2\r\nST: urn:schemas-upnp-org:device:MediaRenderer:1\r\n\r\n"));
    queue->advance(3.49);
    EXPECT_TRUE(deliveries.empty());
    queue->advance(0.01);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_DOUBLE_EQ(deliveries[0].at, 4.0);
    EXPECT_TRUE(deliveries[0].devices.empty());
    EXPECT_FALSE(discovery->isSearchingSsdp()) << "the search ends at 4.0 s";
    queue->advance(60);
    EXPECT_EQ(deliveries.size(), 1u);
    EXPECT_TRUE(bonjour.browserFor("_airplay._tcp.")->searching()) << "Bonjour goes on";
    discovery->stopDiscovery();
    EXPECT_FALSE(bonjour.browserFor("_airplay._tcp.")->searching());
    EXPECT_FALSE(bonjour.browserFor("_googlecast._tcp.")->searching());
}

TEST_F(WiiMDiscoveryTest, MergeKeepsTheBestSourceInItsPlace) {
    using S = ScriptedService;
    start();
    queue->advance(0.3);
    auto *airplay = bonjour.browserFor("_airplay._tcp.");
    auto *cast = bonjour.browserFor("_googlecast._tcp.");
    const auto castB = service("Cast B", "_googlecast._tcp.", {S::ipv4Blob("10.0.0.2")},
                               S::txtRecord({"fn=Kitchen", "md=WiiM Mini"}));
    const auto castA = service("Cast A", "_googlecast._tcp.", {S::ipv4Blob("10.0.0.1")},
                               S::txtRecord({"md=WiiM Amp"}));
    const auto airB = service("Living Room", "_airplay._tcp.", {S::ipv4Blob("10.0.0.2")},
                              S::txtRecord({"model=WiiM Pro"}));
    const auto castB2 = service("Other name", "_googlecast._tcp.", {S::ipv4Blob("10.0.0.2")},
                                S::txtRecord({"md=WiiM Ultra"}));
    for (const auto &s : {castB, castA})
        cast->announce(s);
    airplay->announce(airB);
    cast->announce(castB2);
    EXPECT_EQ(castB->lastTimeout(), 5.0);

    castB->deliverResolved();
    castA->deliverResolved();
    ASSERT_EQ(deliveries.size(), 2u);
    airB->deliverResolved();
    ASSERT_EQ(deliveries.size(), 3u) << "airplay replaces chromecast";
    castB2->deliverResolved();
    airB->deliverResolved();
    EXPECT_EQ(deliveries.size(), 3u) << "ignored records cause no listener call";

    const auto &list = deliveries.back().devices;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].ip, "10.0.0.2") << "replacement keeps the position";
    EXPECT_EQ(list[0].name, "Living Room");
    EXPECT_EQ(list[0].model, "WiiM Pro");
    EXPECT_EQ(list[0].source, DiscoverySource::airplay);
    EXPECT_EQ(list[0].port, 443);
    EXPECT_EQ(list[1].ip, "10.0.0.1");
    EXPECT_EQ(list[1].source, DiscoverySource::chromecast);
    EXPECT_EQ(deliveries[0].devices.size(), 1u) << "deliveries are snapshots";
    EXPECT_TRUE(discovery->probedIPs().isEmpty()) << "recognised services are not probed";
}

TEST_F(WiiMDiscoveryTest, ResolutionUsesTheFirstIPv4AddressAndIgnoresIPv6Only) {
    using S = ScriptedService;
    start();
    auto *airplay = bonjour.browserFor("_airplay._tcp.");
    const auto mixed = service("WiiM Den", "_airplay._tcp.",
                               {S::ipv6Blob("fe80::1"), QByteArray(3, '\x02'),
                                S::ipv4Blob("10.0.0.7"), S::ipv4Blob("10.0.0.8")},
                               std::nullopt);
    const auto v6only = service("WiiM Attic", "_airplay._tcp.", {S::ipv6Blob("fe80::2")},
                                S::txtRecord({"model=WiiM"}));
    const auto unresolved = service("WiiM Hall", "_airplay._tcp.", {}, std::nullopt);
    unresolved->setAddresses(std::nullopt);
    for (const auto &s : {mixed, v6only, unresolved}) {
        airplay->announce(s);
        s->deliverResolved();
    }
    unresolved->deliverNotResolved();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].devices[0].ip, "10.0.0.7");
    EXPECT_EQ(deliveries[0].devices[0].name, "WiiM Den");
}

TEST_F(WiiMDiscoveryTest, UnrecognisedServicesAreProbedOnceAndSsdpSkipsThem) {
    DeviceSimulator sim;
    ASSERT_TRUE(sim.start());
    start(sim.port());
    using S = ScriptedService;
    const auto sonos = service("Sonos One", "_airplay._tcp.", {S::ipv4Blob("127.0.0.1")},
                               S::txtRecord({"model=Speaker"}));
    bonjour.browserFor("_airplay._tcp.")->announce(sonos);
    sonos->deliverResolved();
    sonos->deliverResolved();
    EXPECT_TRUE(discovery->probedIPs().contains("127.0.0.1"));

    queue->advance(0.5);
    responder.receiveSearch();
    responder.answer(kWiiMAnswer);
    ASSERT_TRUE(queue->runUntil([&] { return !deliveries.empty(); }));
    EXPECT_EQ(sim.commands(), std::vector<QString>{"getStatusEx"}) << "one probe per address";
    const WiiMDevice &d = deliveries[0].devices.at(0);
    EXPECT_EQ(d.name, "WiiM Pro-9222") << "named by the answer's ssid";
    EXPECT_EQ(d.model, "WiiM_Pro_with_gc4a");
    EXPECT_EQ(d.source, DiscoverySource::airplay);
}

QByteArray longAnswer(qsizetype wordAt) {
    QByteArray d = "HTTP/1.1 200 OK\r\nX-PAD: ";
    d += QByteArray(wordAt - d.size(), 'x') + "wiim";
    return d + QByteArray(3000 - d.size(), 'y');
}

// Answers become probes by their class and sender, once per address; the search ends once no
// answer has come for the receive window.
TEST_F(WiiMDiscoveryTest, SsdpAnswersBecomeProbesByClassAndSender) {
    const QByteArray location = "HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.9:49152/d.xml\r\n"
                                "SERVER: WiiM\r\n\r\n";
    const std::pair<std::vector<std::pair<QByteArray, const char *>>, QStringList> cases[] = {
        {{{kWiiMAnswer, "127.0.0.1"}, {kWiiMAnswer, "127.0.0.1"}, {kRendererAnswer, "127.0.0.1"}},
         {"127.0.0.1"}},
        {{{kRendererAnswer, "127.0.0.2"},
          {kPrinterAnswer, "127.0.0.3"},
          {kWiiMAnswer, "127.0.0.4"}},
         {"127.0.0.2", "127.0.0.4"}},
        {{{location, "127.0.0.5"}}, {"127.0.0.5"}},
        {{{longAnswer(2040), "127.0.0.6"}}, {"127.0.0.6"}},
        {{{longAnswer(2044), "127.0.0.6"}}, {}}, // cut off at 2047 bytes
        {{{QByteArray(), "127.0.0.7"}, {kWiiMAnswer, "127.0.0.8"}}, {"127.0.0.8"}},
    };
    for (const auto &[answers, expected] : cases) {
        SCOPED_TRACE(expected.join(' ').toStdString());
        start(std::nullopt, 0.3);
        queue->advance(0.5);
        ASSERT_FALSE(responder.receiveSearch().isEmpty());
        for (const auto &[datagram, from] : answers)
            responder.answer(datagram, from);
        // A last answer from an address of its own: once it is probed, so is all before it.
        responder.answer(kWiiMAnswer, "127.0.0.99");
        ASSERT_TRUE(queue->runUntil([&] { return discovery->probedIPs().contains("127.0.0.99"); }));
        QStringList probed(discovery->probedIPs().begin(), discovery->probedIPs().end());
        probed.removeAll("127.0.0.99");
        probed.sort();
        EXPECT_EQ(probed, expected);
        queue->advance(0.29);
        EXPECT_TRUE(discovery->isSearchingSsdp());
        queue->advance(0.01);
        EXPECT_FALSE(discovery->isSearchingSsdp());
        discovery->stopDiscovery();
    }
}

TEST_F(WiiMDiscoveryTest, StopEndsTheSearchAndLeaksNoDescriptor) {
    std::size_t before = 0;
    for (int i = 0; i < 11; ++i) {
        if (i == 1)
            before = openDescriptors(); // after one warm-up run
        start();
        queue->advance(0.5);
        ASSERT_TRUE(discovery->isSearchingSsdp());
        discovery->stopDiscovery();
        EXPECT_FALSE(discovery->isSearchingSsdp());
        discovery.reset();
    }
    EXPECT_LE(openDescriptors(), before);
}

TEST_F(WiiMDiscoveryTest, DroppedObjectReportsNothing) {
    DeviceSimulator sim;
    ASSERT_TRUE(sim.start());
    sim.setFault(Fault::Delay, 200);
    start(sim.port());
    queue->advance(0.5);
    responder.receiveSearch();
    responder.answer(kWiiMAnswer);
    ASSERT_TRUE(queue->runUntil([&] { return !discovery->probedIPs().isEmpty(); }));
    const std::size_t pending = queue->pendingCount();
    discovery.reset();
    // The probe's answer still arrives and queues its hand-over, which must find nothing.
    ASSERT_TRUE(waitUntil([&] { return queue->pendingCount() > pending; }));
    queue->advance(10);
    EXPECT_TRUE(deliveries.empty());
}

// The identity probe lists a candidate only when JSON naming the brand comes back, whatever
// the HTTP status; a silent candidate is not asked again in the same run.
TEST_F(WiiMDiscoveryTest, ProbeListsOnlyWhatAnswersWithTheBrand) {
    std::vector<test::DeviceFault> cases(std::begin(test::kDeviceFaults),
                                         std::end(test::kDeviceFaults));
    cases.push_back({"other brand", Fault::None, true, false, true, false});
    for (const test::DeviceFault &c : cases) {
        SCOPED_TRACE(c.name);
        DeviceSimulator sim;
        ASSERT_TRUE(sim.start());
        sim.setFault(c.fault);
        if (c.fault == Fault::None)
            sim.setStatusExBody(R"({"ssid":"Sonos-1","project":"S1","firmware":"s-70"})");
        deliveries.clear();
        start(sim.port());
        queue->advance(0.5);
        responder.receiveSearch();
        responder.answer(kRendererAnswer);
        responder.answer(kRendererAnswer);
        if (c.reachesRequests) {
            ASSERT_TRUE(queue->runUntil([&] { return !sim.commands().empty(); }));
        }
        // Hand-overs queue once the probe ends; a silent device is given up after 2 s.
        ASSERT_TRUE(queue->runUntil([] { return UrlSession::liveSessions() == 0; }));
        queue->advance(4.0);
        ASSERT_FALSE(deliveries.empty());
        EXPECT_EQ(deliveries.back().devices.size(), c.statusDecodes ? 1u : 0u);
        if (c.answered || c.slow) {
            EXPECT_EQ(sim.commands().size(), 1u) << "one probe per address";
        }
        discovery->stopDiscovery();
    }
}

} // namespace
