#include "UrlSession.h"
#include "Await.h"
#include "DeviceSimulator.h"

#include <QThread>

#include <gtest/gtest.h>

#include <set>

using namespace knobly;
using devicesim::DeviceSimulator;
using devicesim::Fault;

namespace {

class FixedAnswer final : public SessionDelegate {
public:
    explicit FixedAnswer(ChallengeDisposition d) : disposition(d) {}
    ChallengeDisposition didReceiveChallenge(const AuthChallenge &c) override {
        sawServerTrust = c.method == AuthenticationMethod::ServerTrust && c.hasServerTrust;
        return disposition;
    }
    const ChallengeDisposition disposition;
    std::atomic<bool> sawServerTrust{false};
};

class UrlSessionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start()); }
    std::shared_ptr<UrlSession>
    session(ChallengeDisposition d = ChallengeDisposition::UseCredential, double transfer = 3.0,
            double total = 15.0) {
        delegate = std::make_shared<FixedAnswer>(d);
        UrlSessionConfig config;
        config.transferTimeoutSeconds = transfer;
        config.totalTimeoutSeconds = total;
        return UrlSession::create(config, delegate);
    }
    UrlResponse get(UrlSession &s, const QString &command = "getPlayerStatus") {
        auto result = std::make_shared<Await<UrlResponse>>();
        s.get(QUrl("https://" + sim.address() + "/httpapi.asp?command=" + command),
              deliverTo(result));
        return result->wait().value_or(UrlResponse{});
    }

    DeviceSimulator sim;
    std::shared_ptr<FixedAnswer> delegate;
};

// An HTTP error is a completed transfer; a body over the cap, a refused certificate and a
// drip feed past the total deadline are not.
TEST_F(UrlSessionTest, WhatCountsAsATransfer) {
    const struct {
        Fault fault;
        ChallengeDisposition trust;
        bool transportOk;
        int status;
        const char *body;
    } cases[] = {
        {Fault::None, ChallengeDisposition::UseCredential, true, 200, "\"vol\""},
        {Fault::Html404, ChallengeDisposition::UseCredential, true, 404, "Not Found"},
        {Fault::Oversize, ChallengeDisposition::UseCredential, false, 0, ""},
        {Fault::None, ChallengeDisposition::PerformDefaultHandling, false, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        sim.setFault(c.fault);
        auto s = session(c.trust);
        const UrlResponse response = get(*s);
        EXPECT_EQ(response.transportOk, c.transportOk) << response.error.toStdString();
        EXPECT_TRUE(delegate->sawServerTrust);
        if (c.transportOk) {
            EXPECT_EQ(response.httpStatus, c.status);
            EXPECT_TRUE(response.body.contains(c.body));
        } else {
            EXPECT_TRUE(response.body.isEmpty());
        }
    }
    sim.setFault(Fault::Drip, 300); // each byte well inside the transfer timeout
    auto s = session(ChallengeDisposition::UseCredential, 1.0, 1.5);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(get(*s).transportOk);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(1500));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST_F(UrlSessionTest, CompletionsRunOneAtATimeOnOneBackgroundThread) {
    auto s = session();
    auto threads = std::make_shared<Await<QThread *>>();
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 8; ++i)
        s->get(QUrl("https://" + sim.address() + "/httpapi.asp?command=getPlayerStatus"),
               [threads, &running, &overlapped](const UrlResponse &) {
                   if (++running > 1)
                       overlapped = true;
                   QThread::msleep(2); // widen the window an overlap would need
                   --running;
                   threads->set(QThread::currentThread());
               });
    ASSERT_TRUE(threads->wait(7));
    std::set<QThread *> seen;
    for (std::size_t i = 0; i < 8; ++i)
        seen.insert(*threads->wait(i));
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_NE(*seen.begin(), QThread::currentThread());
    EXPECT_FALSE(overlapped);
}

// A session lives until its last request is done, and then its thread ends.
TEST_F(UrlSessionTest, SessionsOutliveTheirOwnersAndLeaveNoThreads) {
    const std::size_t before = UrlSession::liveSessions();
    sim.setFault(Fault::Delay, 150);
    auto result = std::make_shared<Await<UrlResponse>>();
    session()->get(QUrl("https://" + sim.address() + "/httpapi.asp?command=setPlayerCmd:next"),
                   deliverTo(result));
    EXPECT_TRUE(result->wait().value_or(UrlResponse{}).transportOk);
    sim.setFault(Fault::None);
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(get(*session()).transportOk);
    EXPECT_TRUE(waitUntil([&] { return UrlSession::liveSessions() == before; }));
}

} // namespace
