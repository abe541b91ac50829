#include "Settings.h"
#include "LoginItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <gtest/gtest.h>

using namespace knobly;

namespace {

QByteArray contents(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { clean(); }
    void TearDown() override { clean(); }
    void clean() { QDir(folder).removeRecursively(); }
    void write(const QByteArray &bytes) {
        QDir().mkpath(folder);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    const QString path = QSettings("Knobly", "Knobly").fileName();
    const QString folder = QFileInfo(path).path();
};

// What each stored text reads as; reading never creates or rewrites the file.
TEST_F(SettingsTest, StoredValuesReadByTheLookupRules) {
    using Values = std::tuple<QString, QString, std::int64_t, std::int64_t, bool, bool>;
    // Each text has a length of its own: QSettings rereads a file only when its size or time
    // changes.
    // clang-format off
    const std::pair<QByteArray, Values> cases[] = {
        {"", {"", "WiiM", 3, 100, false, true}},
        {"[General]\nstep=0\nmaxVolume=0\n", {"", "WiiM", 3, 100, false, true}},
        {"[General]\nstep=-4\nmaxVolume=1000\n", {"", "WiiM", 3, 100, false, true}},
        {"[General]\nstep=250\nmaxVolume=60\n", {"", "WiiM", 250, 60, false, true}},
        {"[General]\nstep=lots\nkeys=maybe\n", {"", "WiiM", 3, 100, false, true}},
        {"[General]\nstep=99999999999999999999999\n", {"", "WiiM", 3, 100, false, true}},
        {"[General]\nip=1, 2\ndevice=\n", {"", "", 3, 100, false, true}},
        {"[General]\nip=10.0.0.7\ndevice=Den\nstep=5\nkeys=true\n", {"10.0.0.7", "Den", 5, 100, true, true}},
        {"[General]\ngroupVolume=false\n", {"", "WiiM", 3, 100, false, false}},
        {"[General]\ngroupVolume= Off \nkeys=1\n", {"", "WiiM", 3, 100, true, false}},
        {"[General]\ngroupVolume=maybe\nstep=12\n", {"", "WiiM", 12, 100, false, true}},
    };
    // clang-format on
    for (const auto &[file, values] : cases) {
        if (!file.isEmpty())
            write(file);
        EXPECT_EQ(Values(Settings::ip(), Settings::deviceName(), Settings::volumeStep(),
                         Settings::maxVolume(), Settings::interceptKeys(), Settings::groupVolume()),
                  values)
            << file.toStdString();
        EXPECT_EQ(contents(path), file);
    }
    const QString name = QString::fromUtf8("Living Room, upstairs \xe2\x80\x94 \"K\xc3\xbc\"");
    Settings::setDeviceName(name);
    Settings::setVolumeStep(-4);
    EXPECT_EQ(Settings::deviceName(), name);
    EXPECT_EQ(QSettings("Knobly", "Knobly").value("step").toLongLong(), -4) << "stored as given";
    EXPECT_EQ(Settings::volumeStep(), 3);
}

// A damaged file reads as the defaults and is kept; the next write sets it aside, not lost.
TEST_F(SettingsTest, DamagedFileReadsAsDefaultsAndIsKept) {
    static const char raw[] = "[General\nip=\"10.0.0.1\n\xff\xfe\x00garbage=";
    for (const QByteArray &damaged :
         {QByteArray(raw, sizeof raw - 1),
          QByteArray("[General]\nip=10.0.0.1\nthis line has no equals sign\n")}) {
        clean();
        write(damaged);
        EXPECT_EQ(Settings::ip(), "");
        EXPECT_EQ(contents(path), damaged) << "reading must not rewrite the file";
        Settings::setIp("10.0.0.9");
        EXPECT_EQ(Settings::ip(), "10.0.0.9");
        const auto aside = QDir(folder).entryList({"Knobly.conf.damaged-*"}, QDir::Files);
        ASSERT_EQ(aside.size(), 1);
        EXPECT_EQ(contents(folder + "/" + aside.first()), damaged);
        EXPECT_EQ(QSettings("Knobly", "Knobly").allKeys(), QStringList{"ip"});
    }
    // A folder where the file should be: unreadable even for root, and nothing crashes.
    clean();
    QDir().mkpath(path);
    EXPECT_EQ(Settings::deviceName(), "WiiM");
    Settings::setIp("10.0.0.3");
    EXPECT_TRUE(QFileInfo(path).isDir());
}

// Start at login: the autostart entry under the user's config folder.
TEST(LoginItemTest, OnWritesAnEntryForThisProgramAndOffRemovesIt) {
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart";
    const QString entry = folder + "/org.knobly.Knobly.desktop";
    QDir(folder).removeRecursively();
    // clang-format off
    const std::pair<QString, QByteArray> cases[] = {
        {"/usr/bin/knobly", "Exec=\"/usr/bin/knobly\"\n"},
        {"/opt/My Apps/knobly", "Exec=\"/opt/My Apps/knobly\"\n"},
        {"/home/a$b/100%/\"q\"/knobly", "Exec=\"/home/a\\\\$b/100%%/\\\\\"q\\\\\"/knobly\"\n"},
    };
    // clang-format on
    for (const auto &[program, exec] : cases) {
        EXPECT_EQ(LoginItem::setEnabled(true, program), std::nullopt);
        EXPECT_TRUE(LoginItem::isEnabled());
        EXPECT_TRUE(contents(entry).startsWith("[Desktop Entry]\nType=Application\n"));
        EXPECT_TRUE(contents(entry).contains(exec)) << contents(entry).toStdString();
        EXPECT_EQ(LoginItem::setEnabled(false), std::nullopt);
        EXPECT_FALSE(QFileInfo::exists(entry));
        EXPECT_EQ(LoginItem::setEnabled(false), std::nullopt) << "already off";
    }
    EXPECT_NE(LoginItem::setEnabled(true, "/tmp/evil\nExec=rm"), std::nullopt);
    EXPECT_FALSE(LoginItem::isEnabled());
    // Root writes anywhere, so the folder is made impossible rather than read-only.
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QFile(folder).open(QIODevice::WriteOnly));
    const auto problem = LoginItem::setEnabled(true, "/usr/bin/knobly");
    EXPECT_TRUE(problem && problem->contains(entry));
    EXPECT_FALSE(LoginItem::isEnabled());
    QFile::remove(folder);
}

} // namespace
