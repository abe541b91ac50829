#include "PlayerStatus.h"
#include "DeviceInputs.h"

#include "TestNames.h"

#include <gtest/gtest.h>

#include <optional>

using namespace knobly;

namespace {

struct HexCase {
    const char *name;
    QString input;
    std::optional<QString> expected;
};

class HexDecode : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexDecode, Decodes) {
    const HexCase &c = GetParam();
    EXPECT_EQ(hexDecode(c.input), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, HexDecode,
    ::testing::Values(HexCase{"uppercase", "48656C6C6F", QString("Hello")},
                      HexCase{"lowercase", "48656c6c6f", QString("Hello")},
                      HexCase{"utf8 accents", "53C3B32044616EC3A76F",
                              QString::fromUtf8("S\xc3\xb3 Dan\xc3\xa7o")},
                      HexCase{"odd length keeps last digit", "414", QString("A") + QChar(0x04)},
                      HexCase{"bad group skipped", "ZZ41", QString("A")},
                      HexCase{"invalid utf8", "FF", std::nullopt},
                      HexCase{"truncated utf8", "C3", std::nullopt},
                      HexCase{"plain text gives empty", "Song", QString("")},
                      HexCase{"plus sign before digit", "+4", QString(QChar(0x04))},
                      HexCase{"minus before zero", "-0", QString(QChar(0x00))},
                      HexCase{"minus before nonzero skipped", "-141", QString("A")},
                      HexCase{"lone sign skipped", "+", QString("")},
                      HexCase{"emoji counts as one character",
                              QString::fromUtf8("\xf0\x9f\x8e\xb5") + "41", QString(QChar(0x01))},
                      HexCase{"combining mark stays with its letter",
                              QString::fromUtf8("e\xcc\x81") + "441", QString("A")},
                      HexCase{"unknown idle text", "556E6B6E6F776E", QString("Unknown")}),
    [](const auto &info) { return testNameOf(info.param.name); });

struct StatusCase {
    const char *name;
    QByteArray body;
    bool parses;
    std::optional<std::int64_t> volume;
    std::optional<bool> muted;
    std::optional<QString> line;
    std::optional<bool> playing;
};

class StatusDecoding : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusDecoding, Decodes) {
    const StatusCase &c = GetParam();
    const auto status = decodePlayerStatus(c.body);
    ASSERT_EQ(status.has_value(), c.parses) << c.name;
    if (!status)
        return;
    EXPECT_EQ(status->volume, c.volume) << c.name;
    EXPECT_EQ(status->muted, c.muted) << c.name;
    EXPECT_EQ(status->nowPlaying, c.line) << c.name;
    EXPECT_EQ(status->playing, c.playing) << c.name;
}

const QString kWorldHello = QString::fromUtf8("World \xe2\x80\x94 Hello");

INSTANTIATE_TEST_SUITE_P(
    Table, StatusDecoding,
    ::testing::Values(
        StatusCase{
            "full answer",
            R"({"status":"play","vol":"35","mute":"0","Title":"48656C6C6F","Artist":"576F726C64"})",
            true, 35, false, kWorldHello, true},
        StatusCase{"vol as number", R"({"vol":35})", true, 35, {}, {}, {}},
        StatusCase{"vol whole double", R"({"vol":35.0})", true, 35, {}, {}, {}},
        StatusCase{"vol fraction", R"({"vol":35.5})", true, {}, {}, {}, {}},
        StatusCase{"vol huge number", R"({"vol":1e300})", true, {}, {}, {}, {}},
        StatusCase{"vol 2^63", R"({"vol":9223372036854775808})", true, {}, {}, {}, {}},
        StatusCase{"vol int64 max",
                   R"({"vol":9223372036854775807})",
                   true,
                   std::int64_t{9223372036854775807},
                   {},
                   {},
                   {}},
        StatusCase{
            "vol string overflow", R"({"vol":"99999999999999999999"})", true, {}, {}, {}, {}},
        StatusCase{"vol abc", R"({"vol":"abc"})", true, {}, {}, {}, {}},
        StatusCase{"vol signed text", R"({"vol":"+7"})", true, 7, {}, {}, {}},
        StatusCase{"vol negative text", R"({"vol":"-3"})", true, -3, {}, {}, {}},
        StatusCase{"vol with blank", R"({"vol":" 35"})", true, {}, {}, {}, {}},
        StatusCase{"vol empty text", R"({"vol":""})", true, {}, {}, {}, {}},
        StatusCase{"vol boolean", R"({"vol":true})", true, {}, {}, {}, {}},
        StatusCase{"vol array", R"({"vol":[35]})", true, {}, {}, {}, {}},
        StatusCase{"mute string 2", R"({"mute":"2"})", true, {}, false, {}, {}},
        StatusCase{"mute string 1", R"({"mute":"1"})", true, {}, true, {}, {}},
        StatusCase{"mute number 1", R"({"mute":1})", true, {}, true, {}, {}},
        StatusCase{"mute number 0", R"({"mute":0})", true, {}, false, {}, {}},
        StatusCase{"mute null", R"({"mute":null})", true, {}, {}, {}, {}},
        StatusCase{"status pause", R"({"status":"pause"})", true, {}, {}, {}, false},
        StatusCase{"status stop", R"({"status":"stop"})", true, {}, {}, {}, false},
        StatusCase{"status load", R"({"status":"load"})", true, {}, {}, {}, false},
        StatusCase{"status number", R"({"status":1})", true, {}, {}, {}, {}},
        StatusCase{"title alone",
                   R"({"Title":"48656C6C6F","Artist":""})",
                   true,
                   {},
                   {},
                   QString("Hello"),
                   {}},
        StatusCase{
            "artist alone", R"({"Artist":"576F726C64"})", true, {}, {}, QString("World"), {}},
        StatusCase{"bad artist keeps title",
                   R"({"Artist":"FF","Title":"48656C6C6F"})",
                   true,
                   {},
                   {},
                   QString("Hello"),
                   {}},
        StatusCase{"artist number ignored",
                   R"({"Artist":5,"Title":"48656C6C6F"})",
                   true,
                   {},
                   {},
                   QString("Hello"),
                   {}},
        StatusCase{
            "plain text title is empty line", R"({"Title":"Song"})", true, {}, {}, QString(""), {}},
        StatusCase{"empty object", "{}", true, {}, {}, {}, {}},
        StatusCase{"html page", "<html><body>404 Not Found</body></html>", false, {}, {}, {}, {}},
        StatusCase{"top level array", R"([{"vol":"35"}])", false, {}, {}, {}, {}},
        StatusCase{"top level string", R"("35")", false, {}, {}, {}, {}},
        StatusCase{"empty body", "", false, {}, {}, {}, {}},
        StatusCase{"truncated json", R"({"vol":"35")", false, {}, {}, {}, {}},
        StatusCase{"wrong member types",
                   R"({"status":1,"vol":[35],"mute":null,"Title":{"a":"b"},"Artist":5})",
                   true,
                   {},
                   {},
                   {},
                   {}}),
    [](const auto &info) { return testNameOf(info.param.name); });

TEST(DecimalText, RangeEnds) {
    EXPECT_EQ(integerFromDecimalText("-9223372036854775808"),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(integerFromDecimalText("9223372036854775807"),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(integerFromDecimalText("9223372036854775808"), std::nullopt);
    EXPECT_EQ(integerFromDecimalText("-"), std::nullopt);
    EXPECT_EQ(integerFromDecimalText("1e3"), std::nullopt);
}

// Only a real web address becomes album art: the device's "unknow", other schemes and bodies
// that are not metadata give none.
TEST(AlbumArt, OnlyWebAddressesAreArt) {
    const std::pair<const char *, const char *> cases[] = {
        {R"({"metaData":{"albumArtURI":"http://10.0.0.7/a.jpg"}})", "http://10.0.0.7/a.jpg"},
        {R"({"metaData":{"albumArtURI":"https://i.example/c/1.png"}})",
         "https://i.example/c/1.png"},
        {R"({"metaData":{"albumArtURI":"unknow"}})", nullptr},
        {R"({"metaData":{"albumArtURI":"file:///etc/passwd"}})", nullptr},
        {R"({"metaData":{"albumArtURI":"http://"}})", nullptr},
        {R"({"metaData":{"albumArtURI":5}})", nullptr},
        {R"({"metaData":"x"})", nullptr},
        {"unknown command", nullptr},
    };
    for (const auto &[body, expected] : cases) {
        SCOPED_TRACE(body);
        const auto art = decodeAlbumArt(body);
        if (expected)
            EXPECT_EQ(art, QUrl(QString::fromLatin1(expected)));
        else
            EXPECT_EQ(art, std::nullopt);
    }
}

TEST(DeviceInputs, ModelsModesAndPresetsByTheTable) {
    const auto modes = [](const QString &project) {
        QStringList m;
        for (const DeviceInput &input : inputsOfModel(project))
            m << input.mode;
        return m;
    };
    const QStringList base{"wifi", "bluetooth", "line-in", "optical"};
    EXPECT_EQ(modes("WiiM_Pro_with_gc4a"), base);
    EXPECT_EQ(modes("Muzo_Mini"), base);
    EXPECT_EQ(modes("Some_Future_Box"), base) << "unknown models get the common inputs";
    EXPECT_EQ(modes("WiiM_AMP"), base + QStringList{"ARC"});
    EXPECT_EQ(modes("WiiM_Amp_Ultra"), base + QStringList{"ARC"});
    EXPECT_EQ(modes("WiiM_Ultra"), base + QStringList({"HDMI", "phono"}));

    const std::pair<std::int64_t, const char *> playing[] = {
        {10, "wifi"},    {31, "wifi"},  {40, "line-in"}, {41, "bluetooth"},
        {43, "optical"}, {49, "HDMI"},  {58, "ARC"},     {54, "phono"},
        {0, nullptr},    {-1, nullptr}, {99, nullptr},   {77, nullptr}};
    for (const auto &[mode, input] : playing)
        EXPECT_EQ(inputOfMode(mode), input ? std::optional(QString(input)) : std::nullopt) << mode;
    EXPECT_TRUE(isSameInput("HDMI", "ARC"));
    EXPECT_FALSE(isSameInput("optical", "ARC"));

    const auto presets = decodePresets(
        R"({"preset_num":3,"preset_list":[{"number":1,"name":"BBC Radio 3","url":"unknow"},)"
        R"({"number":"4","name":""},{"number":0,"name":"x"},{"name":"no number"}]})");
    ASSERT_TRUE(presets);
    ASSERT_EQ(presets->size(), 2u) << "gaps kept, unplayable numbers dropped";
    EXPECT_EQ((*presets)[0].number, 1);
    EXPECT_EQ((*presets)[0].name, "BBC Radio 3");
    EXPECT_EQ((*presets)[1].number, 4);
    EXPECT_EQ((*presets)[1].name, "Preset 4");
    EXPECT_EQ(decodePresets("unknown command"), std::nullopt);
    EXPECT_EQ(decodePresets(R"({"preset_num":0})"), std::nullopt);
}

} // namespace
