#include "Multiroom.h"
#include "GroupVolume.h"

#include <gtest/gtest.h>

using namespace knobly;

namespace {

// Follower lists as firmware old and new writes them; keys in any case, levels clamped,
// members without an address left out.
TEST(Decoding, FollowerLists) {
    struct Row {
        const char *body;
        bool decodes;
        QString version;
        std::vector<std::tuple<QString, QString, std::int64_t, bool>> members; // name ip vol mute
    };
    const Row rows[] = {
        {R"({"slaves":0,"wmrm_version":"4.2"})", true, "4.2", {}},
        {R"({"slaves":1,"wmrm_version":"4.2","slave_list":[{"name":"Kitchen","uuid":"FF31",
            "ip":"192.168.1.23","version":"4.2","volume":30,"mute":0}]})",
         true,
         "4.2",
         {{"Kitchen", "192.168.1.23", 30, false}}},
        {R"({"Slaves":2,"Wmrm_version":"4.2","Slave_list":[{"Name":"A","Ip":"10.10.10.2",
            "Volume":"140","Mute":"1"},{"NAME":"B","IP":"10.10.10.3","VOLUME":-3,"MUTE":1}]})",
         true,
         "4.2",
         {{"A", "10.10.10.2", 100, true}, {"B", "10.10.10.3", 0, true}}},
        {R"({"slaves":2,"slave_list":[{"name":"NoAddress"},{"name":"Bad","ip":"x.y"},
            {"name":"Odd","ip":"10.0.0.4","volume":"loud","mute":[1]}, 5]})",
         true,
         "",
         {{"Odd", "10.0.0.4", 0, false}}},
        {R"({"slaves":1,"slave_list":{"name":"NotAList","ip":"10.0.0.5"}})", true, "", {}},
        {"unknown command", false, "", {}},
        {"[]", false, "", {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.body);
        const auto list = decodeSlaveList(row.body);
        ASSERT_EQ(list.has_value(), row.decodes);
        if (!list)
            continue;
        EXPECT_EQ(list->version, row.version);
        ASSERT_EQ(list->members.size(), row.members.size());
        for (std::size_t i = 0; i < row.members.size(); ++i) {
            const auto &[name, ip, volume, muted] = row.members[i];
            EXPECT_EQ(list->members[i].name, name);
            EXPECT_EQ(list->members[i].ip, ip);
            EXPECT_EQ(list->members[i].volume, volume);
            EXPECT_EQ(list->members[i].muted, muted);
        }
    }
}

// One device in each form it is named in: the follower list's 24 digits, getStatusEx's 32,
// the UPnP UDN.
TEST(Decoding, UuidFormsNameTheSameDevice) {
    const QString list = "FF98F09C4BD0B0224C1F9A55";
    for (const char *other :
         {"FF98F09C4BD0B0224C1F9A55", "ff98f09c4bd0b0224c1f9a55",
          "FF98F09C4BD0B0224C1F9A55FF98F09C", "uuid:FF98F09C-4BD0-B022-4C1F-9A55FF98F09C",
          " UUID:ff98f09c-4bd0-b022-4c1f-9a55ff98f09c "})
        EXPECT_TRUE(sameDevice(list, other)) << other;
    for (const char *other : {"FF98F09C4BD0B0224C1F9A56", "FF98F09C4BD0B0224C1F9A5", "",
                              "uuid:", "GG98F09C4BD0B0224C1F9A55", "FF98F09C4BD0B0224C1F9A55!"})
        EXPECT_FALSE(sameDevice(list, other)) << other;
    EXPECT_FALSE(sameDevice("", "")) << "two unknowns are no match";
}

TEST(Decoding, AHugeFollowerListOpensNoHugeGroup) {
    QByteArray body = R"({"slaves":5000,"slave_list":[)";
    for (int i = 0; i < 5000; ++i)
        body += (i ? "," : "") + QByteArray(R"({"name":"R","ip":"10.0.)") +
                QByteArray::number(i / 250) + '.' + QByteArray::number(i % 250 + 1) + R"("})";
    const auto list = decodeSlaveList(body + "]}");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->members.size(), maxGroupMembers);
}

TEST(Decoding, MultiroomAddresses) {
    const std::pair<const char *, std::optional<QString>> rows[] = {
        {"192.168.1.20", "192.168.1.20"}, {" 127.0.0.2:443 ", "127.0.0.2"},
        {"10.10.10.3", "10.10.10.3"},     {"", std::nullopt},
        {"0.0.0.0", std::nullopt},        {"::1", std::nullopt},
        {"wiim.local", std::nullopt},     {"1.2.3.4:5:6", std::nullopt},
    };
    for (const auto &[address, expected] : rows)
        EXPECT_EQ(multiroomAddress(address), expected) << address;
}

// Every room moves by the step; one held at an end keeps its offset for the way back; a level
// changed by anything else starts the offsets afresh; rooms joining or leaving too.
TEST(GroupVolumeTest, OffsetsSurviveClampingUntilSomethingElseMovesARoom) {
    GroupVolume group;
    using L = std::vector<GroupVolume::Level>;
    const auto levels = [](std::int64_t a, std::int64_t b, std::int64_t limit = 100) {
        return L{{"leader", a, limit}, {"kitchen", b, 100}};
    };
    EXPECT_EQ(group.move(levels(50, 90), +20), (std::vector<std::int64_t>{70, 100}));
    EXPECT_EQ(group.move(levels(70, 100), +20), (std::vector<std::int64_t>{90, 100}));
    EXPECT_EQ(group.move(levels(90, 100), -40), (std::vector<std::int64_t>{50, 90}))
        << "the kitchen comes back to its place";
    EXPECT_EQ(group.move(levels(50, 90), -60), (std::vector<std::int64_t>{0, 30}));
    EXPECT_EQ(group.move(levels(0, 30), -50), (std::vector<std::int64_t>{0, 0}));
    EXPECT_EQ(group.move(levels(0, 0), +10), (std::vector<std::int64_t>{0, 10}))
        << "no further than where every room is held: the way back starts at once";
    EXPECT_EQ(group.move(levels(0, 10), +50), (std::vector<std::int64_t>{20, 60}));
    EXPECT_EQ(group.move(levels(20, 70), +10), (std::vector<std::int64_t>{30, 80}))
        << "the kitchen was set elsewhere: offsets from there";
    EXPECT_EQ(group.move(levels(30, 80, 35), +10), (std::vector<std::int64_t>{35, 90}))
        << "the leader stops at its maximum";
    EXPECT_EQ(group.move(L{{"leader", 35, 35}, {"kitchen", 90, 100}, {"attic", 5, 100}}, -10),
              (std::vector<std::int64_t>{25, 80, 0}))
        << "a room joined: offsets from the levels found";
}

} // namespace
