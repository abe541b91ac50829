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
    QUrl url(const QString &command) const {
        return QUrl("https://" + sim.address() + "/httpapi.asp?command=" + command);
    }
    std::shared_ptr<UrlSession>
    session(ChallengeDisposition d = ChallengeDisposition::UseCredential, double timeout = 3.0) {
        delegate = std::make_shared<FixedAnswer>(d);
        UrlSessionConfig config;
        config.transferTimeoutSeconds = timeout;
        return UrlSession::create(config, delegate);
    }

    DeviceSimulator sim;
    std::shared_ptr<FixedAnswer> delegate;
};

TEST_F(UrlSessionTest, AcceptsSelfSignedCertificateOnlyWhenTheDelegateSaysSo) {
    auto trusting = session(ChallengeDisposition::UseCredential);
    auto result = std::make_shared<Await<UrlResponse>>();
    trusting->get(url("getStatusEx"), deliverTo(result));
    auto response = result->wait();
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->transportOk) << response->error.toStdString();
    EXPECT_EQ(response->httpStatus, 200);
    EXPECT_TRUE(response->body.contains("\"DeviceName\""));
    EXPECT_TRUE(delegate->sawServerTrust);

    auto strict = session(ChallengeDisposition::PerformDefaultHandling);
    auto refused = std::make_shared<Await<UrlResponse>>();
    strict->get(url("getStatusEx"), deliverTo(refused));
    response = refused->wait();
    ASSERT_TRUE(response);
    EXPECT_FALSE(response->transportOk);
}

TEST_F(UrlSessionTest, HttpErrorStatusIsACompletedTransfer) {
    auto s = session();
    sim.setFault(Fault::Html404);
    auto result = std::make_shared<Await<UrlResponse>>();
    s->get(url("getPlayerStatus"), deliverTo(result));
    const auto response = result->wait();
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->transportOk);
    EXPECT_EQ(response->httpStatus, 404);
    EXPECT_TRUE(response->body.contains("Not Found"));
}

TEST_F(UrlSessionTest, BodyOverTheCapIsATransportFailure) {
    auto s = session();
    sim.setFault(Fault::Oversize);
    auto result = std::make_shared<Await<UrlResponse>>();
    s->get(url("getPlayerStatus"), deliverTo(result));
    const auto response = result->wait();
    ASSERT_TRUE(response);
    EXPECT_FALSE(response->transportOk);
    EXPECT_TRUE(response->body.isEmpty());
}

TEST_F(UrlSessionTest, CompletionsRunOneAtATimeOnOneBackgroundThread) {
    auto s = session();
    auto threads = std::make_shared<Await<QThread *>>();
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 8; ++i)
        s->get(url("getPlayerStatus"), [threads, &running, &overlapped](const UrlResponse &) {
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

TEST_F(UrlSessionTest, SessionOutlivesItsOwnerUntilRequestsComplete) {
    const std::size_t before = UrlSession::liveSessions();
    sim.setFault(Fault::Delay, 150);
    auto result = std::make_shared<Await<UrlResponse>>();
    {
        auto s = session();
        s->get(url("setPlayerCmd:next"), deliverTo(result));
        EXPECT_EQ(s->requestsInFlight(), 1u);
    }
    const auto response = result->wait();
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->transportOk);
    EXPECT_TRUE(eventually([&] { return UrlSession::liveSessions() == before; }))
        << "the session's thread ends once its last request is done";
}

TEST_F(UrlSessionTest, ManySessionsComeAndGoWithoutLeakingThreads) {
    const std::size_t before = UrlSession::liveSessions();
    for (int i = 0; i < 20; ++i) {
        auto s = session();
        auto result = std::make_shared<Await<UrlResponse>>();
        s->get(url("getPlayerStatus"), deliverTo(result));
        ASSERT_TRUE(result->wait());
    }
    EXPECT_TRUE(eventually([&] { return UrlSession::liveSessions() == before; }));
}

} // namespace

TEST(UrlSessionDeadline, ADripFeedDoesNotOutliveTheTotalTimeout) {
    DeviceSimulator sim;
    ASSERT_TRUE(sim.start());
    sim.setFault(Fault::Drip, 300); // each byte well inside the transfer timeout
    UrlSessionConfig config;
    config.transferTimeoutSeconds = 1.0;
    config.totalTimeoutSeconds = 1.5;
    auto s = UrlSession::create(config,
                                std::make_shared<FixedAnswer>(ChallengeDisposition::UseCredential));
    auto result = std::make_shared<Await<UrlResponse>>();
    const auto started = std::chrono::steady_clock::now();
    s->get(QUrl("https://" + sim.address() + "/httpapi.asp?command=getPlayerStatus"),
           deliverTo(result));
    const auto response = result->wait();
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(response);
    EXPECT_FALSE(response->transportOk);
    EXPECT_GE(took, std::chrono::milliseconds(1500));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}
