#include "Settings.h"
#include "LoginItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <gtest/gtest.h>

using namespace knobly;

namespace {

QString settingsPath() {
    return QSettings("Knobly", "Knobly").fileName();
}

void writeFile(const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(settingsPath()).path());
    QFile file(settingsPath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readFile() {
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { clean(); }
    void TearDown() override { clean(); }
    static void clean() {
        QDir dir(QFileInfo(settingsPath()).path());
        dir.removeRecursively();
    }
};

// What each stored text reads as; reading never creates or rewrites the file.
TEST_F(SettingsTest, StoredValuesReadByTheLookupRules) {
    const struct {
        QByteArray file;
        QString ip, device;
        std::int64_t step, maxVolume;
        bool keys;
    } cases[] = {
        {"", "", "WiiM", 3, 100, false},
        {"[General]\nstep=0\nmaxVolume=0\n", "", "WiiM", 3, 100, false},
        {"[General]\nstep=-4\nmaxVolume=1000\n", "", "WiiM", 3, 100, false},
        {"[General]\nstep=250\nmaxVolume=60\n", "", "WiiM", 250, 60, false},
        {"[General]\nstep=lots\nkeys=maybe\n", "", "WiiM", 3, 100, false},
        {"[General]\nstep=99999999999999999999999\n", "", "WiiM", 3, 100, false},
        {"[General]\nip=1, 2\ndevice=\n", "", "", 3, 100, false},
        {"[General]\nip=10.0.0.7\ndevice=Den\nstep=5\nkeys=true\n", "10.0.0.7", "Den", 5, 100,
         true},
    };
    // Each text has a length of its own: QSettings rereads a file only when its size or time
    // changes.
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        if (!c.file.isEmpty())
            writeFile(c.file);
        EXPECT_EQ(Settings::ip(), c.ip);
        EXPECT_EQ(Settings::deviceName(), c.device);
        EXPECT_EQ(Settings::volumeStep(), c.step);
        EXPECT_EQ(Settings::maxVolume(), c.maxVolume);
        EXPECT_EQ(Settings::interceptKeys(), c.keys);
        EXPECT_EQ(readFile(), c.file);
    }
    const QString name = QString::fromUtf8("Living Room, upstairs \xe2\x80\x94 \"K\xc3\xbc\"");
    Settings::setDeviceName(name);
    Settings::setVolumeStep(-4);
    Settings::setDeviceUuid("FF98F09C4BD0B0224C1F9A55");
    EXPECT_EQ(Settings::deviceName(), name);
    EXPECT_EQ(QSettings("Knobly", "Knobly").value("step").toLongLong(), -4) << "stored as given";
    EXPECT_EQ(Settings::volumeStep(), 3);
    EXPECT_EQ(QSettings("Knobly", "Knobly").value("uuid").toString(), "FF98F09C4BD0B0224C1F9A55");
}

// A damaged file reads as the defaults and is kept; the next write sets it aside, not lost.
TEST_F(SettingsTest, DamagedFileReadsAsDefaultsAndIsKept) {
    static const char raw[] = "[General\nip=\"10.0.0.1\n\xff\xfe\x00garbage=";
    for (const QByteArray &damaged :
         {QByteArray(raw, sizeof raw - 1),
          QByteArray("[General]\nip=10.0.0.1\nthis line has no equals sign\n")}) {
        clean();
        writeFile(damaged);
        EXPECT_EQ(Settings::ip(), "");
        EXPECT_EQ(Settings::volumeStep(), 3);
        EXPECT_EQ(readFile(), damaged) << "reading must not rewrite the file";
        Settings::setIp("10.0.0.9");
        EXPECT_EQ(Settings::ip(), "10.0.0.9");
        const auto aside = QDir(QFileInfo(settingsPath()).path())
                               .entryList({"Knobly.conf.damaged-*"}, QDir::Files);
        ASSERT_EQ(aside.size(), 1);
        QFile kept(QFileInfo(settingsPath()).path() + "/" + aside.first());
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), damaged);
        EXPECT_EQ(QSettings("Knobly", "Knobly").allKeys(), QStringList{"ip"});
    }
    // A folder where the file should be: unreadable even for root, and nothing crashes.
    clean();
    QDir().mkpath(settingsPath());
    EXPECT_EQ(Settings::deviceName(), "WiiM");
    Settings::setIp("10.0.0.3");
    EXPECT_TRUE(QFileInfo(settingsPath()).isDir());
}

// Start at login: the autostart entry under the user's config folder.
class LoginItemTest : public ::testing::Test {
protected:
    void SetUp() override { QDir(folder()).removeRecursively(); }
    void TearDown() override { QDir(folder()).removeRecursively(); }
    static QString folder() { return qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart"; }
    static QString entry() { return folder() + "/org.knobly.Knobly.desktop"; }
    static QByteArray text() {
        QFile file(entry());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

TEST_F(LoginItemTest, OnWritesAnEntryForThisProgramAndOffRemovesIt) {
    struct Case {
        QString program;
        QByteArray exec;
    } const cases[] = {
        {"/usr/bin/knobly", "Exec=\"/usr/bin/knobly\"\n"},
        {"/opt/My Apps/knobly", "Exec=\"/opt/My Apps/knobly\"\n"},
        {"/home/a$b/100%/\"q\"/knobly", "Exec=\"/home/a\\\\$b/100%%/\\\\\"q\\\\\"/knobly\"\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.program.toStdString());
        EXPECT_FALSE(LoginItem::isEnabled());
        EXPECT_EQ(LoginItem::setEnabled(true, c.program), std::nullopt);
        EXPECT_TRUE(LoginItem::isEnabled());
        EXPECT_TRUE(text().startsWith("[Desktop Entry]\nType=Application\n"));
        EXPECT_TRUE(text().contains(c.exec)) << text().toStdString();
        EXPECT_EQ(LoginItem::setEnabled(false), std::nullopt);
        EXPECT_FALSE(QFileInfo::exists(entry()));
        EXPECT_EQ(LoginItem::setEnabled(false), std::nullopt) << "already off";
    }
    EXPECT_NE(LoginItem::setEnabled(true, "/tmp/evil\nExec=rm"), std::nullopt);
    EXPECT_FALSE(LoginItem::isEnabled());
    // Root writes anywhere, so the folder is made impossible rather than read-only.
    QDir(folder()).removeRecursively();
    QFile blocker(folder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const auto problem = LoginItem::setEnabled(true, "/usr/bin/knobly");
    ASSERT_NE(problem, std::nullopt);
    EXPECT_TRUE(problem->contains(entry())) << problem->toStdString();
    EXPECT_FALSE(LoginItem::isEnabled());
    QFile::remove(folder());
}

} // namespace
