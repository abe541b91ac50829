#include "UrlSession.h"
#include "Await.h"
#include "DeviceSimulator.h"

#include <QThread>

#include <gtest/gtest.h>

using namespace knobly;
using devicesim::Fault;
using Trust = ChallengeDisposition;

namespace {

class FixedAnswer final : public SessionDelegate {
public:
    explicit FixedAnswer(Trust d) : disposition(d) {}
    Trust didReceiveChallenge(const AuthChallenge &c) override {
        sawServerTrust = c.hasServerTrust;
        return disposition;
    }
    const Trust disposition;
    bool sawServerTrust = false;
};

using Factory = std::shared_ptr<UrlSession> (*)(const UrlSessionConfig &,
                                                std::shared_ptr<SessionDelegate>);

// Both kinds of session keep the same promises: Qt's network access and the device sockets.
class UrlSessionTest : public ::testing::TestWithParam<Factory> {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start()); }
    std::shared_ptr<UrlSession> session(Trust d = Trust::UseCredential, double transfer = 3.0,
                                        double total = 15.0) {
        delegate = std::make_shared<FixedAnswer>(d);
        return GetParam()({.transferTimeoutSeconds = transfer, .totalTimeoutSeconds = total},
                          delegate);
    }
    QUrl url() const {
        return QUrl("https://" + sim.address() + "/httpapi.asp?command=getPlayerStatus");
    }
    UrlResponse get(UrlSession &s) {
        auto result = std::make_shared<Await<UrlResponse>>();
        s.get(url(), deliverTo(result));
        return result->wait().value_or(UrlResponse{});
    }

    devicesim::DeviceSimulator sim;
    std::shared_ptr<FixedAnswer> delegate;
};

// An HTTP error is a completed transfer; a body over the cap, a refused certificate and a
// drip feed past the total deadline are not.
TEST_P(UrlSessionTest, WhatCountsAsATransfer) {
    // clang-format off
    const std::tuple<Fault, Trust, bool, int, const char *> cases[] = {
        {Fault::None, Trust::UseCredential, true, 200, "\"vol\""},
        {Fault::Html404, Trust::UseCredential, true, 404, "Not Found"},
        {Fault::Oversize, Trust::UseCredential, false, 0, ""},
        {Fault::None, Trust::PerformDefaultHandling, false, 0, ""},
    };
    // clang-format on
    for (const auto &[fault, trust, transportOk, status, body] : cases) {
        sim.setFault(fault);
        const UrlResponse response = get(*session(trust));
        EXPECT_EQ(response.transportOk, transportOk) << response.error.toStdString();
        EXPECT_TRUE(delegate->sawServerTrust);
        EXPECT_EQ(transportOk ? response.httpStatus : 0, status);
        EXPECT_TRUE(response.body.contains(body) && (transportOk || response.body.isEmpty()));
    }
    sim.setFault(Fault::Drip, 300); // each byte well inside the transfer timeout
    auto s = session(Trust::UseCredential, 1.0, 1.5);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(get(*s).transportOk);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(took >= std::chrono::milliseconds(1500) && took < std::chrono::seconds(3));
}

// Completions run on this thread, one at a time and each once, also once the owner has let go
// of the session; calling off everything runs the rest at once, as failures.
TEST_P(UrlSessionTest, CompletionsRunInTurnOnTheMainThreadAndOutliveTheirOwners) {
    sim.setFault(Fault::Delay, 150);
    auto s = session();
    int running = 0, answered = 0, failed = 0;
    bool wrong = false; // an overlap, or a completion on another thread
    for (int i = 0; i < 8; ++i)
        s->get(url(), [&](const UrlResponse &r) {
            wrong |= ++running > 1 || QThread::currentThread() != qApp->thread();
            ++(r.transportOk ? answered : failed);
            --running;
        });
    EXPECT_EQ(answered + failed, 0) << "never inside get()";
    s.reset();
    ASSERT_TRUE(waitUntil([&] { return answered == 8; }));
    EXPECT_EQ(UrlSession::allRequestsInFlight(), 0u);
    sim.setFault(Fault::Hang);
    s = session();
    for (int i = 0; i < 3; ++i)
        s->get(url(), [&](const UrlResponse &r) { ++(r.transportOk ? answered : failed); });
    UrlSession::abortAll();
    EXPECT_EQ(failed, 3);
    EXPECT_EQ(s->requestsInFlight(), 0u);
    EXPECT_FALSE(wrong);
}

// A connection is kept for the next request, and one the device has closed is replaced
// without the request failing.
TEST_P(UrlSessionTest, KeptConnectionsAndOnesTheDeviceClosed) {
    auto s = session();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(get(*s).isOk());
    EXPECT_EQ(sim.tlsHandshakes(), 1);
    // Closed while a request leaves, and closed while idle, again and again.
    for (const bool noticed : {false, true, true, true}) {
        sim.stop();
        ASSERT_TRUE(sim.start()); // the same port; every connection it had is gone
        if (noticed)
            waitUntil([] { return false; }, 100);
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(get(*s).isOk());
        EXPECT_EQ(sim.tlsHandshakes(), 1) << (noticed ? "closed while idle" : "closed in flight");
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, UrlSessionTest,
                         ::testing::Values(&UrlSession::create, &UrlSession::createForDevice),
                         [](const auto &info) {
                             return std::string(info.index == 0 ? "QtNetwork" : "DeviceSocket");
                         });

} // namespace
