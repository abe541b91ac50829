// Multiroom groups end to end: three simulated devices on their own addresses, on port 443 as
// real ones are, in a network namespace of the test's own (needs root; skips elsewhere).
#include "ControllerFixture.h"
#include "GroupMenu.h"

#include <QProcess>

namespace knobly::test {
namespace {

using devicesim::DeviceSimulator;

DeviceSimulator::Options room(const char *ip, const char *name, const char *uuid,
                              const char *version = "4.2", bool capitalised = false) {
    DeviceSimulator::Options o;
    o.bind = QHostAddress(QString::fromLatin1(ip));
    o.port = 443;
    o.name = o.ssid = QString::fromUtf8(name);
    o.uuid = QString::fromLatin1(uuid);
    o.multiroomVersion = QString::fromLatin1(version);
    o.capitalisedKeys = capitalised;
    o.upnpPort = 0; // events too, as devices have
    return o;
}

class GroupTest : public ControllerFixture {
protected:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("KNOBLY_PRIVATE_NETNS"))
            GTEST_SKIP() << "needs a network namespace of its own (root)";
        ControllerFixture::SetUp();
        // Each room's address on loopback as its own, as GSSDP wants for the UPnP side (in
        // this namespace only; one already there is fine).
        for (const char *address : {"127.0.0.2/8", "127.0.0.3/8", "127.0.0.4/8"})
            QProcess::execute("ip", {"addr", "replace", address, "dev", "lo"});
        for (DeviceSimulator *d : {&living, &kitchen, &attic}) {
            QString why;
            ASSERT_TRUE(d->start(&why)) << why.toStdString();
        }
        living.setVolume(50);
        kitchen.setVolume(90);
        probePort = 443;
        withEvents = true;
        descriptionFor = [this](const QString &address) {
            for (DeviceSimulator *d : {&living, &kitchen, &attic})
                if (d->address().startsWith(address + ':'))
                    return d->upnpDescription();
            return QUrl();
        };
    }

    // Chooses `ip` and finds the other two rooms.
    void launchAt(const char *ip, const char *name) {
        Settings::setIp(ip);
        Settings::setDeviceName(name);
        launch();
        ASSERT_TRUE(until([&] { return bonjour.browserFor("_linkplay._tcp.") != nullptr; }));
        for (const auto &[found, at] : {std::pair{"Living Room", "127.0.0.2"},
                                        {"Kitchen", "127.0.0.3"},
                                        {"Attic", "127.0.0.4"}}) {
            if (QLatin1String(at) == QLatin1String(ip))
                continue;
            auto service = std::make_shared<ScriptedService>(found, "_linkplay._tcp.");
            service->setAddresses(std::vector{QHostAddress(QString::fromLatin1(at))});
            bonjour.browserFor("_linkplay._tcp.")->announce(service);
            service->deliverResolved();
        }
        ASSERT_TRUE(until([&] { return delegate->devices().size() == 2; }));
    }

    // Real time for the devices, virtual time moving on in tenths for ours (polls included).
    bool until(const std::function<bool()> &done, int tenths = 150) {
        for (int i = 0; i < tenths; ++i) {
            if (queue->runUntil(done, std::chrono::milliseconds(100)))
                return true;
            queue->advance(0.1);
        }
        return done();
    }

    // The rows as text, submenus indented, for failure messages.
    static std::string shown(QMenu *menu, const QString &indent = {}) {
        std::string out;
        for (QAction *a : menu ? menu->actions() : QList<QAction *>()) {
            out += (indent + a->text() + (a->isEnabled() ? "" : " [off]") +
                    (a->isVisible() ? "" : " [hidden]") + "\n")
                       .toStdString();
            if (a->menu())
                out += shown(a->menu(), indent + "  ");
        }
        return out;
    }
    QMenu *group() const { return delegate->trayMenu().groupMenu()->menu(); }
    static QAction *row(QMenu *menu, const QString &start) {
        for (QAction *a : menu ? menu->actions() : QList<QAction *>())
            if (a->isVisible() && a->text().startsWith(start))
                return a;
        return nullptr;
    }
    QMenu *submenu(const QString &start) const {
        QAction *a = row(group(), start);
        return a ? a->menu() : nullptr;
    }
    static DeviceSimulator::Options leads() {
        auto o = room("127.0.0.2", "Living Room", "A1B2C3D4E5F6A7B8C9D0AA02");
        o.tracks = {{"First Song", "The Leads", "Rooms"},
                    {"Second Song", "The Leads", "Rooms"},
                    {"Third Song", "The Leads", "Rooms"}};
        return o;
    }
    bool joinLiving(const char *ip) {
        WiiMClient joining(QString::fromLatin1(ip));
        std::optional<bool> done;
        joining.joinGroup(QStringLiteral("127.0.0.2"), [&](bool ok) { done = ok; });
        return queue->runUntil([&] { return done.has_value(); }) && *done &&
               queue->runUntil([&] { return living.followerCount() > 0; });
    }

    DeviceSimulator living{leads()};
    DeviceSimulator kitchen{room("127.0.0.3", "Kitchen", "A1B2C3D4E5F6A7B8C9D0AA03", "4.2", true)};
    DeviceSimulator attic{room("127.0.0.4", "Attic", "A1B2C3D4E5F6A7B8C9D0AA04", "4.1")};
};

// From the menu: a found device joins, its level and mute are set through its own connection,
// it is removed, and the group ends. A device of another multiroom version cannot be added.
TEST_F(GroupTest, TheMenuAddsSetsRemovesAndUngroups) {
    launchAt("127.0.0.2", "Living Room");
    Q_EMIT delegate->menu()->aboutToShow(); // asks the found devices whether they can join
    ASSERT_TRUE(until([&] {
        QAction *a = row(submenu("Add to Group"), "Attic");
        return a && !a->isEnabled();
    })) << shown(group());
    EXPECT_EQ(row(submenu("Add to Group"), "Attic")->text(),
              "Attic (multiroom version 4.1, this device 4.2)");
    QAction *add = row(submenu("Add to Group"), "Kitchen");
    ASSERT_TRUE(add && add->isEnabled()) << "a follower whose firmware capitalises its keys";
    EXPECT_EQ(row(group(), "Ungroup"), nullptr) << "alone, there is no group to end";

    add->trigger();
    ASSERT_TRUE(until([&] { return kitchen.leaderIp() == "127.0.0.2"; }));
    ASSERT_TRUE(until([&] { return submenu("Kitchen: 90%") != nullptr; }));
    EXPECT_NE(row(group(), "Ungroup"), nullptr);
    EXPECT_TRUE(tray->toolTip.endsWith("\nKitchen: 90%")) << tray->toolTip.toStdString();

    row(submenu("Kitchen"), "70%")->trigger();
    ASSERT_TRUE(until([&] { return kitchen.volume() == 70 && submenu("Kitchen: 70%"); }));
    EXPECT_EQ(living.volume(), 50) << "one room's level moves that room alone";
    row(submenu("Kitchen"), "Mute")->trigger();
    ASSERT_TRUE(until([&] { return kitchen.muted() && submenu("Kitchen: muted"); }));

    row(submenu("Kitchen"), "Remove from Group")->trigger();
    ASSERT_TRUE(until([&] { return living.followerCount() == 0; }));
    ASSERT_TRUE(
        until([&] { return !submenu("Kitchen") && row(submenu("Add to Group"), "Kitchen"); }));

    row(submenu("Add to Group"), "Kitchen")->trigger();
    ASSERT_TRUE(until([&] { return submenu("Kitchen") != nullptr; }));
    row(group(), "Ungroup")->trigger();
    ASSERT_TRUE(until([&] { return living.followerCount() == 0 && kitchen.leaderIp().isEmpty(); }));
    ASSERT_TRUE(until([&] { return !submenu("Kitchen") && !row(group(), "Ungroup"); }));
}

// A leader's volume changes move every room by the same step: each held at its end (the leader
// at its maximum), the offsets between rooms back once they are off it. Turned off, the leader
// moves alone.
TEST_F(GroupTest, GroupVolumeKeepsTheOffsetsBetweenRooms) {
    ASSERT_TRUE(joinLiving("127.0.0.3"));
    launchAt("127.0.0.2", "Living Room");
    delegate->controller().setVolumeLimit(60);
    ASSERT_TRUE(until([&] { return submenu("Kitchen: 90%") != nullptr; }));
    const struct {
        int step, living, kitchen;
    } rows[] = {{+10, 60, 100}, {+10, 60, 100}, {-30, 30, 70}, {+20, 50, 90},
                {-60, 0, 30},   {+10, 0, 40},   {+20, 20, 60}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.step);
        delegate->controller().adjustVolume(r.step > 0, std::abs(r.step));
        EXPECT_TRUE(until([&] {
            return living.volume() == r.living && kitchen.volume() == r.kitchen;
        })) << living.volume()
            << " " << kitchen.volume();
    }
    QAction *together = row(group(), "Group Volume");
    ASSERT_TRUE(together && together->isChecked());
    together->trigger();
    EXPECT_FALSE(Settings::groupVolume()) << "saved";
    delegate->controller().setVolume(25);
    ASSERT_TRUE(until([&] { return living.volume() == 25; }));
    queue->advance(1.0);
    EXPECT_EQ(kitchen.volume(), 60);
}

// A follower shows its leader's track, and its transport goes to the leader; then it leaves.
TEST_F(GroupTest, AFollowersTransportGoesToItsLeader) {
    ASSERT_TRUE(joinLiving("127.0.0.3"));
    launchAt("127.0.0.3", "Kitchen");
    ASSERT_TRUE(until([&] { return row(group(), "Following Living Room") != nullptr; }));
    EXPECT_EQ(row(group(), "Add to Group"), nullptr);
    ASSERT_TRUE(until([&] { return delegate->nowPlayingItem()->text().contains("First Song"); }))
        << "the leader's track, not its own";
    ASSERT_TRUE(until([&] { return living.upnpSubscribes() >= 2; })) << "the leader's events";
    // The leader's next track shows through its events: no poll runs meanwhile.
    living.runCommand("setPlayerCmd:next");
    ASSERT_TRUE(queue->runUntil(
        [&] { return delegate->nowPlayingItem()->text().contains("Second Song"); }));
    kitchen.clearRequests();
    const int track = living.trackIndex();
    delegate->controller().nextTrack();
    ASSERT_TRUE(until([&] { return living.trackIndex() == track + 1; }));
    delegate->controller().playPause();
    ASSERT_TRUE(until([&] { return living.status() == "pause"; }));
    for (const QString &c : kitchen.commands())
        EXPECT_FALSE(c.startsWith("setPlayerCmd:")) << c.toStdString();

    row(group(), "Leave Group")->trigger();
    ASSERT_TRUE(until([&] { return kitchen.leaderIp().isEmpty(); }));
    ASSERT_TRUE(
        until([&] { return !row(group(), "Following") && !delegate->controller().leader(); }));
    delegate->controller().nextTrack();
    ASSERT_TRUE(until([&] { return kitchen.trackIndex() == 1; })) << "its own again";
}

// Another room's changes made elsewhere show through its own events, without a poll.
TEST_F(GroupTest, OtherRoomsChangesShowAsTheyHappen) {
    ASSERT_TRUE(joinLiving("127.0.0.3"));
    launchAt("127.0.0.2", "Living Room");
    ASSERT_TRUE(until([&] { return submenu("Kitchen: 90%") && kitchen.upnpSubscribes() >= 2; }));
    kitchen.setVolume(20);
    ASSERT_TRUE(queue->runUntil([&] { return submenu("Kitchen: 20%") != nullptr; }));
    EXPECT_TRUE(tray->toolTip.endsWith("\nKitchen: 20%"));
    kitchen.setMuted(true);
    ASSERT_TRUE(queue->runUntil([&] { return submenu("Kitchen: muted") != nullptr; }));
}

// A room that stops answering says so on its row, and the leader's menu, polls and volume go
// on without waiting for it.
TEST_F(GroupTest, ARoomThatDoesNotAnswerDelaysNothing) {
    ASSERT_TRUE(joinLiving("127.0.0.3"));
    launchAt("127.0.0.2", "Living Room");
    ASSERT_TRUE(until([&] { return submenu("Kitchen: 90%") != nullptr; }));
    kitchen.setFault(devicesim::Fault::Hang);
    ASSERT_TRUE(until([&] { return submenu("Kitchen: not answering") != nullptr; }, 400));
    const auto asked = statusQueries(living);
    poll();
    EXPECT_GT(statusQueries(living), asked) << "the leader's own poll went on";
    delegate->controller().adjustVolume(true, 10);
    ASSERT_TRUE(until([&] { return living.volume() == 60; }));
    kitchen.setFault(devicesim::Fault::None);
    ASSERT_TRUE(until([&] { return submenu("Kitchen: 90%") != nullptr; }, 400));
}

// knoblyctl group, as scripts use it, with its exit codes. A leader address that cannot stand
// in the join command is refused before anything is sent.
TEST_F(GroupTest, KnoblyctlGroup) {
    const struct {
        QStringList args;
        int exit;
        const char *out;
    } rows[] = {
        {{"list"}, 0, R"("role":"alone")"},
        {{"add", "127.0.0.3"}, 0, "added Kitchen\n"},
        {{"list"}, 0, R"("name":"Kitchen")"},
        {{"list", "--device", "127.0.0.3"}, 0, R"("leader":"127.0.0.2")"},
        {{"volume", "60"}, 0, "127.0.0.2 60\n127.0.0.3 100\n"},
        {{"volume", "101"}, 2, ""},
        {{"remove", "127.0.0.3"}, 0, "removed 127.0.0.3\n"},
        {{"remove", "127.0.0.3"}, 1, "refused the command"},
        {{"add", "127.0.0.3", "--device", "localhost"}, 1, "cannot be given \"localhost\""},
        {{"add", " "}, 2, ""},
        {{"add", "127.0.0.3"}, 0, "added Kitchen\n"},
        {{"ungroup", "--device", "127.0.0.3"}, 0, "left\n"},
        {{"add", "127.0.0.3"}, 0, "added Kitchen\n"},
        {{"ungroup"}, 0, "ungrouped\n"},
        {{"dissolve"}, 2, ""},
    };
    for (const auto &r : rows) {
        QStringList args = QStringList{"group"} + r.args;
        if (!args.contains("--device"))
            args << "--device"
                 << "127.0.0.2";
        SCOPED_TRACE(args.join(' ').toStdString());
        const auto joins = kitchen.commands().size();
        QProcess ctl;
        ctl.setProcessChannelMode(QProcess::MergedChannels);
        ctl.start(KNOBLY_BIN_DIR "/knoblyctl", args);
        ASSERT_TRUE(ctl.waitForFinished(30000));
        const QString out = QString::fromUtf8(ctl.readAll());
        EXPECT_EQ(ctl.exitCode(), r.exit) << out.toStdString();
        EXPECT_TRUE(out.contains(QString::fromUtf8(r.out))) << out.toStdString();
        if (args.contains("localhost")) {
            EXPECT_EQ(kitchen.commands().size(), joins) << "nothing sent";
        }
    }
    EXPECT_EQ(living.followerCount(), 0);
}

} // namespace
} // namespace knobly::test
