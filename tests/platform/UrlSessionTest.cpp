#include "UrlSession.h"
#include "Await.h"
#include "DeviceSimulator.h"

#include <QThread>

#include <gtest/gtest.h>

#include <set>

using namespace knobly;
using devicesim::Fault;
using Trust = ChallengeDisposition;

namespace {

class FixedAnswer final : public SessionDelegate {
public:
    explicit FixedAnswer(Trust d) : disposition(d) {}
    Trust didReceiveChallenge(const AuthChallenge &c) override {
        sawServerTrust = c.method == AuthenticationMethod::ServerTrust && c.hasServerTrust;
        return disposition;
    }
    const Trust disposition;
    std::atomic<bool> sawServerTrust{false};
};

class UrlSessionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start()); }
    std::shared_ptr<UrlSession> session(Trust d = Trust::UseCredential, double transfer = 3.0,
                                        double total = 15.0) {
        delegate = std::make_shared<FixedAnswer>(d);
        return UrlSession::create(
            {.transferTimeoutSeconds = transfer, .totalTimeoutSeconds = total}, delegate);
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
TEST_F(UrlSessionTest, WhatCountsAsATransfer) {
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

// Completions run one at a time on one background thread, also once the owner has let go of
// the session; it lives until its last request is done, and then its thread ends.
TEST_F(UrlSessionTest, CompletionsRunInTurnAndSessionsOutliveTheirOwners) {
    const std::size_t before = UrlSession::liveSessions();
    sim.setFault(Fault::Delay, 150);
    auto s = session();
    auto threads = std::make_shared<Await<QThread *>>();
    std::atomic<int> running{0};
    std::atomic<bool> wrong{false}; // an overlap or a failure
    for (int i = 0; i < 8; ++i)
        s->get(url(), [threads, &running, &wrong](const UrlResponse &r) {
            if (++running > 1 || !r.transportOk)
                wrong = true;
            QThread::msleep(2); // widen the window an overlap would need
            --running;
            threads->set(QThread::currentThread());
        });
    s.reset();
    ASSERT_TRUE(threads->wait(7));
    std::set<QThread *> seen;
    for (std::size_t i = 0; i < 8; ++i)
        seen.insert(*threads->wait(i));
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_NE(*seen.begin(), QThread::currentThread());
    EXPECT_FALSE(wrong);
    EXPECT_TRUE(waitUntil([&] { return UrlSession::liveSessions() == before; }));
}

} // namespace
