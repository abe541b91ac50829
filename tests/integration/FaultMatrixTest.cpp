#include "AppDelegate.h"
#include "ControllerFixture.h"
#include "DeviceSimulator.h"
#include "FakeMainQueue.h"
#include "RecordingStatusItem.h"
#include "ScriptedBonjour.h"
#include "Settings.h"
#include "UrlSession.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSlider>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace knobly;
using devicesim::DeviceSimulator;
using devicesim::Fault;

namespace {

constexpr std::size_t kMaxInFlight = 3;

struct FaultCase {
    const char *name;
    Fault fault;
    bool staysReachable;  // the answer still carries a volume
    bool reachesRequests; // the device still sees the HTTP request
};

class FaultMatrixTest : public test::ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        startPlayingDevice(sim);
    }

    // Launches with a saved device and waits for it to have answered.
    void launchConnected() {
        Settings::setIp(sim.address());
        Settings::setDeviceName("Kitchen");
        launchWith(quietEnvironment(sim.port()));
        ASSERT_TRUE(settled(sim, 2));
        ASSERT_EQ(title(), "Kitchen");
        ASSERT_EQ(delegate->volumeSlider()->value(), 35);
        ASSERT_EQ(delegate->iconSymbol(), "speaker.wave.2.fill");
        QObject::connect(delegate->statusMenuItem(), &QAction::changed, [this] {
            if (title() != lastTitle) {
                lastTitle = title();
                ++titleChanges;
            }
        });
        lastTitle = title();
    }

    std::size_t statusQueries() const { return test::statusQueries(sim); }

    QString title() const { return delegate->statusMenuItem()->text(); }

    // One poll: 5 s of virtual time, then a bounded real wait for the requests to finish
    // (a dripping device holds each for the whole 15 s deadline).
    void poll() {
        queue->advance(5.0);
        peakInFlight = std::max(peakInFlight, inFlight());
        ASSERT_TRUE(queue->runUntil(
            [&] {
                peakInFlight = std::max(peakInFlight, inFlight());
                return inFlight() == 0;
            },
            std::chrono::seconds(25)));
        queue->runPending();
    }

    DeviceSimulator sim;
    QString lastTitle;
    int titleChanges = 0;
    std::size_t peakInFlight = 0;
};

const FaultCase kCases[] = {
    {"Hang", Fault::Hang, false, true},
    // One byte every 2.5 s, each inside the 3 s transfer timeout: only the 15 s deadline on
    // the whole request ends each poll, so this case takes most of a minute.
    {"Drip", Fault::Drip, false, true},
    {"Reset", Fault::Reset, false, true},
    {"PlainHttp", Fault::PlainHttp, false, false},
    {"Garbage", Fault::Garbage, false, false},
    {"Html404", Fault::Html404, false, true},
    {"Json500", Fault::Json500, true, true},
    {"WrongTypes", Fault::WrongTypes, false, true},
    {"Oversize", Fault::Oversize, false, true},
};

class FaultMatrix : public FaultMatrixTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultMatrix, FailsQuietlyKeepsPollingAndRecovers) {
    const FaultCase c = GetParam();
    launchConnected();
    const std::size_t before = statusQueries();

    sim.setFault(c.fault);
    constexpr int kPolls = 3;
    poll();
    // Counted from the second poll on: a spare connection the client opened while launching
    // may still finish its handshake during the first one.
    const int handshakes = sim.tlsHandshakes();
    for (int i = 1; i < kPolls; ++i)
        poll();
    if (!c.reachesRequests) {
        EXPECT_EQ(sim.tlsHandshakes(), handshakes) << "no TLS session was set up under the fault";
    }

    const QString expected = c.staysReachable ? "Kitchen" : "Kitchen (unreachable)";
    EXPECT_EQ(title(), expected);
    EXPECT_EQ(titleChanges, c.staysReachable ? 0 : 1) << "the first line changes once";
    EXPECT_EQ(delegate->volumeSlider()->value(), 35);
    EXPECT_EQ(delegate->iconSymbol(), "speaker.wave.2.fill");
    EXPECT_TRUE(delegate->isPolling());
    if (c.reachesRequests) {
        EXPECT_GE(statusQueries(), before + kPolls) << "polling goes on";
    }
    EXPECT_LE(peakInFlight, kMaxInFlight);

    sim.setFault(Fault::None);
    const std::size_t healed = statusQueries();
    poll();
    EXPECT_GT(statusQueries(), healed);
    EXPECT_EQ(title(), "Kitchen");
    EXPECT_EQ(titleChanges, c.staysReachable ? 0 : 2);
    EXPECT_EQ(delegate->volumeSlider()->value(), 35);
    EXPECT_LE(peakInFlight, kMaxInFlight);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(FaultMatrixTest, FlappingBetweenResetAndHealthyFlipsTheLineEachPoll) {
    launchConnected();
    for (int i = 0; i < 100; ++i) {
        const bool broken = i % 2 == 0;
        sim.setFault(broken ? Fault::Reset : Fault::None);
        poll();
        ASSERT_EQ(title(), broken ? "Kitchen (unreachable)" : "Kitchen") << "poll " << i;
        ASSERT_EQ(titleChanges, i + 1);
        ASSERT_LE(peakInFlight, kMaxInFlight);
    }
    EXPECT_EQ(delegate->volumeSlider()->value(), 35);
    EXPECT_TRUE(delegate->isPolling());
}

} // namespace
