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

TEST_F(SettingsTest, FreshInstallationReadsDefaults) {
    EXPECT_EQ(Settings::ip(), "");
    EXPECT_EQ(Settings::deviceName(), "WiiM");
    EXPECT_EQ(Settings::volumeStep(), 3);
    EXPECT_FALSE(Settings::interceptKeys());
    EXPECT_FALSE(QFile::exists(settingsPath())) << "reading never creates the file";
}

TEST_F(SettingsTest, ValuesRoundTripThroughTheFile) {
    Settings::setIp("192.168.1.108");
    Settings::setDeviceName(QString::fromUtf8("Living Room, upstairs \xe2\x80\x94 \"K\xc3\xbc"
                                              "che\""));
    Settings::setVolumeStep(10);
    Settings::setInterceptKeys(true);
    // A fresh store instance stands in for the next run of the program.
    QSettings fresh("Knobly", "Knobly");
    EXPECT_EQ(fresh.value("ip").toString(), "192.168.1.108");
    EXPECT_EQ(Settings::ip(), "192.168.1.108");
    EXPECT_EQ(Settings::deviceName(),
              QString::fromUtf8("Living Room, upstairs \xe2\x80\x94 \"K\xc3\xbc"
                                "che\""));
    EXPECT_EQ(Settings::volumeStep(), 10);
    EXPECT_TRUE(Settings::interceptKeys());
    Settings::setInterceptKeys(false);
    EXPECT_FALSE(Settings::interceptKeys());
}

struct StoredCase {
    const char *name;
    QByteArray file;
    QString ip;
    QString device;
    std::int64_t step;
    bool keys;
};

TEST_F(SettingsTest, StoredValuesReadByTheLookupRules) {
    const StoredCase cases[] = {
        {"step zero", "[General]\nstep=0\n", "", "WiiM", 3, false},
        {"step negative", "[General]\nstep=-4\n", "", "WiiM", 3, false},
        {"step seven", "[General]\nstep=7\n", "", "WiiM", 7, false},
        {"step no upper limit", "[General]\nstep=250\n", "", "WiiM", 250, false},
        {"step not a number", "[General]\nstep=lots\n", "", "WiiM", 3, false},
        {"step overflow", "[General]\nstep=99999999999999999999999\n", "", "WiiM", 3, false},
        {"empty device stays empty", "[General]\ndevice=\n", "", "", 3, false},
        {"list is not text", "[General]\nip=1, 2\ndevice=a, b\n", "", "WiiM", 3, false},
        {"keys true", "[General]\nkeys=true\n", "", "WiiM", 3, true},
        {"keys false", "[General]\nkeys=false\n", "", "WiiM", 3, false},
        {"keys junk", "[General]\nkeys=maybe\n", "", "WiiM", 3, false},
        {"all four", "[General]\nip=10.0.0.7\ndevice=Den\nstep=5\nkeys=true\n", "10.0.0.7", "Den",
         5, true},
    };
    for (const auto &c : cases) {
        writeFile(c.file);
        EXPECT_EQ(Settings::ip(), c.ip) << c.name;
        EXPECT_EQ(Settings::deviceName(), c.device) << c.name;
        EXPECT_EQ(Settings::volumeStep(), c.step) << c.name;
        EXPECT_EQ(Settings::interceptKeys(), c.keys) << c.name;
    }
}

TEST_F(SettingsTest, NonPositiveStepIsStoredUnchangedButReadsAsThree) {
    Settings::setVolumeStep(-4);
    EXPECT_EQ(QSettings("Knobly", "Knobly").value("step").toLongLong(), -4);
    EXPECT_EQ(Settings::volumeStep(), 3);
}

TEST_F(SettingsTest, DamagedFileReadsAsDefaultsAndIsKept) {
    static const char raw[] = "[General\nip=\"10.0.0.1\n\xff\xfe\x00garbage=";
    const QByteArray damaged(raw, sizeof raw - 1);
    writeFile(damaged);
    EXPECT_EQ(Settings::ip(), "");
    EXPECT_EQ(Settings::deviceName(), "WiiM");
    EXPECT_EQ(Settings::volumeStep(), 3);
    EXPECT_EQ(readFile(), damaged) << "reading must not rewrite the file";

    // Choosing a device afterwards works, and the damaged file is set aside, not lost.
    Settings::setIp("10.0.0.9");
    EXPECT_EQ(Settings::ip(), "10.0.0.9");
    const auto aside =
        QDir(QFileInfo(settingsPath()).path()).entryList({"Knobly.conf.damaged-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile kept(QFileInfo(settingsPath()).path() + "/" + aside.first());
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), damaged);
    EXPECT_EQ(QSettings("Knobly", "Knobly").allKeys(), QStringList{"ip"})
        << "nothing of the damaged file leaks into the new one";
}

TEST_F(SettingsTest, OneBadLineCountsAsDamaged) {
    writeFile("[General]\nip=10.0.0.1\nthis line has no equals sign\n");
    EXPECT_EQ(Settings::ip(), "");
}

TEST_F(SettingsTest, UnreadableStoreReadsAsDefaultsAndNothingCrashes) {
    // A folder where the file should be: unreadable even for root.
    QDir().mkpath(settingsPath());
    EXPECT_EQ(Settings::ip(), "");
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
}

// Root writes anywhere, so the folder is made impossible rather than read-only.
TEST_F(LoginItemTest, AnUnwritableFolderIsReportedAndChangesNothing) {
    QDir().mkpath(qEnvironmentVariable("XDG_CONFIG_HOME"));
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
