#include "DiscoveryParsing.h"
#include "ScriptedBonjour.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

using namespace knobly;

namespace {

TEST(SsdpAnswer, ClassifiedByWordsAnywhereInAnyCase) {
    struct Case {
        QByteArray text;
        SsdpAnswerClass expected;
    };
    // clang-format off
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nSERVER: Linux UPnP/1.0 wIiM/4.8\r\n", SsdpAnswerClass::wiimLike},
        {"HTTP/1.1 200 OK\r\nSERVER: LinkPlay\r\n", SsdpAnswerClass::wiimLike},
        {"HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:device:MediaRenderer:1\r\n", SsdpAnswerClass::renderer},
        {"HTTP/1.1 200 OK\r\nST: urn:x:device:MEDIARENDERER:1\r\n", SsdpAnswerClass::renderer},
        {"HTTP/1.1 200 OK\r\nSERVER: CUPS/2.4 IPP/2.1\r\n", SsdpAnswerClass::other},
        {"HTTP/1.1 404 Not Found\r\nX: wiim\r\n", SsdpAnswerClass::wiimLike},
        {QByteArray("x\0wiim", 6), SsdpAnswerClass::other}, // text ends at the first zero
        {"\xff\xfe upnp", SsdpAnswerClass::renderer},       // bad UTF-8 is replaced, not fatal
        {"", SsdpAnswerClass::other},
    };
    // clang-format on
    for (const auto &c : cases)
        EXPECT_EQ(classifySsdpAnswer(c.text), c.expected) << c.text.toStdString();
    EXPECT_EQ(ssdpFallbackName(SsdpAnswerClass::wiimLike), "WiiM Device");
    EXPECT_EQ(ssdpFallbackName(SsdpAnswerClass::renderer), "Unknown");
}

TEST(TxtRecord, ParsesLengthPrefixedStrings) {
    const auto txt = txtRecordDictionary(
        ScriptedService::txtRecord({"model=WiiM Pro", "am=", "flag", "model=second", "=novalue",
                                    "fn=K\xc3\xbc"
                                    "che"}));
    EXPECT_EQ(txt.value("model"), "WiiM Pro") << "the first of duplicate keys wins";
    EXPECT_TRUE(txt.contains("am"));
    EXPECT_TRUE(txt.contains("flag"));
    EXPECT_EQ(txt.value("fn"), "K\xc3\xbc"
                               "che");
    EXPECT_EQ(txt.size(), 4);

    // A length running past the end stops the walk without reading beyond it.
    EXPECT_EQ(txtRecordDictionary(QByteArray("\x05"
                                             "ab",
                                             3))
                  .size(),
              0);
    EXPECT_EQ(txtRecordDictionary(QByteArray("\x03"
                                             "a=b"
                                             "\x09"
                                             "c=d",
                                             8))
                  .size(),
              1);
    EXPECT_TRUE(txtRecordDictionary(QByteArray()).isEmpty());
    EXPECT_TRUE(txtRecordDictionary(QByteArray(1, '\0')).isEmpty());
}

TEST(IpFromData, ReadsOnlyWholeIPv4SocketAddresses) {
    const QByteArray v4 = ScriptedService::ipv4Blob("192.168.1.20");
    struct Case {
        const char *name;
        QByteArray blob;
        std::optional<QString> expected;
    };
    // clang-format off
    const Case cases[] = {
        {"ipv4", v4, QString("192.168.1.20")},
        {"ipv4 with trailing bytes", v4 + QByteArray(12, '\0'), QString("192.168.1.20")},
        {"ipv6", ScriptedService::ipv6Blob("fe80::1"), std::nullopt},
        {"empty", QByteArray(), std::nullopt},
        {"one byte", QByteArray(1, '\x02'), std::nullopt},
        {"family only", v4.left(2), std::nullopt},
        {"one short of sockaddr_in", v4.left(sizeof(sockaddr_in) - 1), std::nullopt},
        {"BSD layout (length byte first)", QByteArray("\x10\x02\x1b\x58\xc0\xa8\x01\x14", 8) + QByteArray(8, '\0'), std::nullopt},
    };
    // clang-format on
    for (const auto &c : cases)
        EXPECT_EQ(ipFromData(c.blob), c.expected) << c.name;
}

struct ServiceCase {
    const char *name;
    QString serviceName;
    QString type;
    std::optional<QByteArray> txt;
    bool recognised;
    QString expectedName;
    QString expectedModel;
    DiscoverySource source;
};

TEST(ServiceClassification, RecognitionNamingAndModel) {
    using S = ScriptedService;
    // clang-format off
    const ServiceCase cases[] = {
        {"airplay model names brand", "Living Room", "_airplay._tcp.", S::txtRecord({"model=wIIm Pro", "manufacturer=Linkplay"}), true, "Living Room", "wIIm Pro", DiscoverySource::airplay},
        {"cast fn and md", "Cast-1234", "_googlecast._tcp.", S::txtRecord({"fn=Kitchen", "md=WiiM Mini"}), true, "Kitchen", "WiiM Mini", DiscoverySource::chromecast},
        {"cast empty fn uses service name", "Cast-1234", "_googlecast._tcp.", S::txtRecord({"fn=", "md=WiiM Mini"}), true, "Cast-1234", "WiiM Mini", DiscoverySource::chromecast},
        {"brand only in service name", "My wiim", "_airplay._tcp.", S::txtRecord({"model=X1"}), true, "My wiim", "X1", DiscoverySource::airplay},
        {"other brand airplay", "Sonos One", "_airplay._tcp.", S::txtRecord({"model=Sonos", "am=S1"}), false, "Sonos One", "Sonos", DiscoverySource::airplay},
        {"other brand cast passes fn and md", "Cast-9", "_googlecast._tcp.", S::txtRecord({"fn=Den", "md=Nest Audio"}), false, "Den", "Nest Audio", DiscoverySource::chromecast},
        {"am is the last model choice", "Speaker", "_airplay._tcp.", S::txtRecord({"am=AM1"}), false, "Speaker", "AM1", DiscoverySource::airplay},
        {"type text decides, not name", "airplay room", "_googlecast._tcp.", std::nullopt, false, "airplay room", "", DiscoverySource::chromecast},
        {"no TXT at all", "Speaker", "_airplay._tcp.", std::nullopt, false, "Speaker", "", DiscoverySource::airplay},
        {"bad UTF-8 value counts as empty", "Speaker", "_airplay._tcp.", S::txtRecord({"model=\xff" "wiim"}), false, "Speaker", "", DiscoverySource::airplay},
        {"words join across values", "x", "_airplay._tcp.", S::txtRecord({"model=wi", "manufacturer=im"}), false, "x", "wi", DiscoverySource::airplay},
    };
    // clang-format on
    for (const auto &c : cases) {
        const auto r = classifyService(c.serviceName, c.type, c.txt);
        EXPECT_EQ(r.recognised, c.recognised) << c.name;
        EXPECT_EQ(r.name, c.expectedName) << c.name;
        EXPECT_EQ(r.model, c.expectedModel) << c.name;
        EXPECT_EQ(r.source, c.source) << c.name;
    }
}

TEST(ProbeAnswer, OnlyTheThreeBrandPairingsConfirm) {
    struct Case {
        const char *name;
        QByteArray body;
        bool confirmed;
        QString expectedName;
        QString expectedModel;
    };
    // clang-format off
    const Case cases[] = {
        {"linkplay firmware alone", R"({"firmware":"LinkPlay.4.8"})", true, "WiiM Device", ""},
        {"wiim ssid names the device", R"({"ssid":"WiiM Pro-9222","project":"Muzo_Mini"})", true, "WiiM Pro-9222", "Muzo_Mini"},
        {"wiim project", R"({"project":"WIIM_AMP"})", true, "WiiM Device", "WIIM_AMP"},
        {"wiim in firmware only", R"({"firmware":"wiim-1.0","ssid":"Sonos"})", false, "", ""},
        {"linkplay in project only", R"({"project":"linkplay-x"})", false, "", ""},
        {"linkplay in ssid only", R"({"ssid":"LinkPlay-AB"})", false, "", ""},
        {"ssid number counts as empty", R"({"ssid":5,"firmware":"Linkplay.1"})", true, "WiiM Device", ""},
        {"wrong member types", R"({"ssid":5,"DeviceName":["x"],"project":null,"firmware":7})", false, "", ""},
        {"top level array", R"([{"firmware":"Linkplay"}])", false, "", ""},
        {"empty body", "", false, "", ""},
        {"html page", "<html>linkplay</html>", false, "", ""},
    };
    // clang-format on
    for (const auto &c : cases) {
        const auto d = probedDevice(decodeDeviceIdentity(c.body), "WiiM Device", "10.0.0.5", "",
                                    DiscoverySource::ssdp);
        ASSERT_EQ(d.has_value(), c.confirmed) << c.name;
        if (!d)
            continue;
        EXPECT_EQ(d->name, c.expectedName) << c.name;
        EXPECT_EQ(d->model, c.expectedModel) << c.name;
        EXPECT_EQ(d->ip, "10.0.0.5");
        EXPECT_EQ(d->port, 443);
        EXPECT_TRUE(d->isConfirmedWiiM);
        EXPECT_EQ(d->source, DiscoverySource::ssdp);
    }
}

} // namespace
