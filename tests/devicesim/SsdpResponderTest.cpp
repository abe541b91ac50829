// The SSDP responder, searched by unicast on loopback only: no group is joined anywhere.
#include "SsdpResponder.h"
#include "Await.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>

using namespace devicesim;

namespace {

const QByteArray kRendererType = "urn:schemas-upnp-org:device:MediaRenderer:1";

QByteArray search(const QByteArray &stLine) {
    return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
           "MX: 2\r\n" +
           stLine + "\r\n\r\n";
}

// A searcher on 127.0.0.1 with a port of its own.
class Searcher {
public:
    Searcher() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0;
    }
    ~Searcher() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Searcher(const Searcher &) = delete;
    Searcher &operator=(const Searcher &) = delete;

    bool ok() const { return bound_; }

    bool send(quint16 port, const QByteArray &datagram) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::sendto(fd_, datagram.constData(), size_t(datagram.size()), 0,
                        reinterpret_cast<sockaddr *>(&to), sizeof to) == datagram.size();
    }

    // The next datagram, waiting up to 10 s for it.
    std::optional<QByteArray> receive() const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            return std::nullopt;
        return receiveNow();
    }

    // A datagram already queued, if there is one.
    std::optional<QByteArray> receiveNow() const {
        std::array<char, 4096> buffer{};
        const ssize_t size = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (size < 0)
            return std::nullopt;
        return QByteArray(buffer.data(), qsizetype(size));
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

QByteArray header(const QByteArray &answer, const QByteArray &name) {
    for (const QByteArray &line : answer.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return "<missing>";
}

SsdpResponder::Options loopbackOptions(SsdpResponder::Profile profile, int answers = 1) {
    SsdpResponder::Options options;
    options.profile = profile;
    options.bind = QHostAddress(QHostAddress::LocalHost);
    options.port = 0;
    options.joinGroup = false;
    options.answersPerSearch = answers;
    return options;
}

bool mentionsAny(const QByteArray &text, std::initializer_list<const char *> words) {
    const QByteArray lower = text.toLower();
    for (const char *word : words) {
        if (lower.contains(word))
            return true;
    }
    return false;
}

} // namespace

TEST(SsdpResponderTest, AnswersARendererSearchByUnicastAsOftenAsConfigured) {
    SsdpResponder responder(loopbackOptions(SsdpResponder::Profile::WiiM, 3));
    QString error;
    ASSERT_TRUE(responder.start(&error)) << error.toStdString();
    ASSERT_NE(responder.port(), 0);
    Searcher searcher;
    ASSERT_TRUE(searcher.ok());
    ASSERT_TRUE(searcher.send(responder.port(), search("ST: " + kRendererType)));

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const auto answer = searcher.receive();
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->startsWith("HTTP/1.1 200 OK\r\n")) << answer->constData();
        EXPECT_TRUE(answer->endsWith("\r\n\r\n"));
        EXPECT_EQ(header(*answer, "CACHE-CONTROL"), "max-age=1800");
        EXPECT_EQ(header(*answer, "EXT"), "");
        // The address the search arrived on, not the wildcard.
        EXPECT_EQ(header(*answer, "LOCATION"), "http://127.0.0.1:49152/description.xml");
        EXPECT_TRUE(header(*answer, "SERVER").contains("WiiM/"));
        EXPECT_EQ(header(*answer, "ST"), kRendererType);
        EXPECT_TRUE(header(*answer, "USN").startsWith("uuid:"));
        EXPECT_TRUE(header(*answer, "USN").endsWith("::" + kRendererType));
    }
    EXPECT_FALSE(searcher.receiveNow()) << "more answers than configured";
    EXPECT_EQ(responder.searchesReceived(), 1);
    EXPECT_EQ(responder.searchesAnswered(), 1);
    // Counted just after each send, so the last count may trail the last datagram.
    EXPECT_TRUE(eventually([&] { return responder.answersSent() == 3; }));
}

TEST(SsdpResponderTest, AnswersOnlyRendererAndAllSearches) {
    SsdpResponder responder(loopbackOptions(SsdpResponder::Profile::Renderer));
    ASSERT_TRUE(responder.start());
    Searcher searcher;
    ASSERT_TRUE(searcher.ok());
    // Handled in the order sent: by the time the answer to the last one is here, any answer
    // to the others would already be queued in front of it.
    ASSERT_TRUE(
        searcher.send(responder.port(), "NOTIFY * HTTP/1.1\r\nNT: " + kRendererType + "\r\n\r\n"));
    ASSERT_TRUE(searcher.send(responder.port(), "HTTP/1.1 200 OK\r\nST: ssdp:all\r\n\r\n"));
    ASSERT_TRUE(
        searcher.send(responder.port(), search("ST: urn:schemas-upnp-org:device:MediaServer:1")));
    ASSERT_TRUE(searcher.send(responder.port(), search("ST: upnp:rootdevice")));
    ASSERT_TRUE(searcher.send(responder.port(), search("st:ssdp:all")));

    const auto answer = searcher.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(header(*answer, "SERVER"), "Linux UPnP/1.0 Sonos/70.3-35220 (ZPS9)");
    EXPECT_FALSE(searcher.receiveNow());
    EXPECT_EQ(responder.searchesReceived(), 3);
    EXPECT_EQ(responder.searchesAnswered(), 1);

    ASSERT_TRUE(searcher.send(responder.port(), search("ST: " + kRendererType)));
    ASSERT_TRUE(searcher.receive());
    EXPECT_EQ(responder.searchesReceived(), 4);
    EXPECT_EQ(responder.searchesAnswered(), 2);
}

TEST(SsdpResponderTest, ProfilesCarryTheWordsDiscoveryGoesBy) {
    using Profile = SsdpResponder::Profile;
    const QByteArray wiim = SsdpResponder::answer(Profile::WiiM, QStringLiteral("10.0.0.2"));
    const QByteArray renderer =
        SsdpResponder::answer(Profile::Renderer, QStringLiteral("10.0.0.2"));
    const QByteArray unrelated =
        SsdpResponder::answer(Profile::Unrelated, QStringLiteral("10.0.0.2"));

    EXPECT_TRUE(mentionsAny(wiim, {"wiim"}));
    // Another maker's renderer: a renderer by its words, but not the brand.
    EXPECT_FALSE(mentionsAny(renderer, {"wiim", "linkplay"}));
    EXPECT_TRUE(mentionsAny(renderer, {"mediarenderer"}));
    EXPECT_TRUE(mentionsAny(renderer, {"upnp"}));
    EXPECT_FALSE(mentionsAny(unrelated, {"wiim", "linkplay", "mediarenderer", "upnp"}))
        << unrelated.constData();
    for (const QByteArray &answer : {wiim, renderer, unrelated})
        EXPECT_EQ(header(answer, "LOCATION"), "http://10.0.0.2:49152/description.xml");
}

TEST(SsdpResponderTest, ProfileNamesRoundTrip) {
    using Profile = SsdpResponder::Profile;
    for (const Profile profile : {Profile::WiiM, Profile::Renderer, Profile::Unrelated})
        EXPECT_EQ(SsdpResponder::profileFromName(SsdpResponder::profileName(profile)), profile);
    EXPECT_EQ(SsdpResponder::profileFromName(QStringLiteral("sonos")), std::nullopt);
    EXPECT_EQ(SsdpResponder::profileFromName(QStringLiteral("WIIM")), std::nullopt);
}

TEST(SsdpResponderTest, StartFailsWithAReason) {
    // TEST-NET-1 is on no interface here, so the bind fails before anything is sent.
    SsdpResponder::Options foreign = loopbackOptions(SsdpResponder::Profile::WiiM);
    foreign.bind = QHostAddress(QStringLiteral("192.0.2.1"));
    SsdpResponder notBound(foreign);
    QString error;
    EXPECT_FALSE(notBound.start(&error));
    EXPECT_TRUE(error.contains(QLatin1String("192.0.2.1"))) << error.toStdString();

    // The name lookup fails before any membership is asked for.
    SsdpResponder::Options noInterface = loopbackOptions(SsdpResponder::Profile::WiiM);
    noInterface.joinGroup = true;
    noInterface.interface = QStringLiteral("knoblynone0");
    SsdpResponder notJoined(noInterface);
    error.clear();
    EXPECT_FALSE(notJoined.start(&error));
    EXPECT_TRUE(error.contains(QLatin1String("knoblynone0"))) << error.toStdString();
}

TEST(SsdpResponderTest, RestartsAfterStop) {
    SsdpResponder responder(loopbackOptions(SsdpResponder::Profile::Unrelated));
    ASSERT_TRUE(responder.start());
    responder.stop();
    ASSERT_TRUE(responder.start());
    Searcher searcher;
    ASSERT_TRUE(searcher.ok());
    ASSERT_TRUE(searcher.send(responder.port(), search("ST: ssdp:all")));
    const auto answer = searcher.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(header(*answer, "ST"), "urn:schemas-example-com:device:Printer:1");
}
