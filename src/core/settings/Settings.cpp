#include "Settings.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>

#include <optional>

namespace knobly {

namespace {

const QString kOrganisation = QStringLiteral("Knobly");
const QString kApplication = QStringLiteral("Knobly");

enum class FileState { Missing, Fine, Damaged, Unreadable };

// Whether the file parses, judged by a fresh parse of a private copy: QSettings caches a
// parse per path and reports a format error only to the instance that did the parse, so
// its own status cannot tell a later reader that the file is damaged. The verdict is kept
// until the file changes.
FileState fileState(const QString &path) {
    static QString checkedPath;
    static qint64 checkedSize = -1;
    static QDateTime checkedTime;
    static FileState checked = FileState::Missing;

    const QFileInfo info(path);
    if (!info.exists())
        return FileState::Missing;
    if (path == checkedPath && info.size() == checkedSize && info.lastModified() == checkedTime)
        return checked;

    FileState state = FileState::Unreadable;
    QFile file(path);
    if (info.isFile() && file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        QTemporaryDir scratch;
        QFile copy(scratch.filePath(QStringLiteral("check.conf")));
        if (scratch.isValid() && copy.open(QIODevice::WriteOnly) &&
            copy.write(bytes) == bytes.size()) {
            copy.close();
            QSettings probe(copy.fileName(), QSettings::IniFormat);
            probe.allKeys();
            state = probe.status() == QSettings::NoError ? FileState::Fine : FileState::Damaged;
        }
    }
    checkedPath = path;
    checkedSize = info.size();
    checkedTime = info.lastModified();
    checked = state;
    return state;
}

// Fixed for the run, like QSettings' own search paths.
const QString &storePath() {
    static const QString path = QSettings(kOrganisation, kApplication).fileName();
    return path;
}

// Reads one key. A damaged or unreadable file counts as holding nothing, so it reads as
// defaults; reading never writes.
std::optional<QVariant> stored(const char *key) {
    const FileState state = fileState(storePath());
    if (state == FileState::Damaged || state == FileState::Unreadable)
        return std::nullopt;
    QSettings store(kOrganisation, kApplication);
    QVariant value = store.value(QLatin1String(key));
    if (!value.isValid())
        return std::nullopt;
    return value;
}

void write(const char *key, const QVariant &value) {
    const QString path = storePath();
    switch (fileState(path)) {
    case FileState::Unreadable:
        return; // the write could only fail
    case FileState::Damaged: {
        // Keep the damaged file for the user instead of writing over it, then start afresh.
        const QString aside =
            path + QStringLiteral(".damaged-") +
            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddThhmmsszzz"));
        if (!QFile::rename(path, aside))
            return;
        break;
    }
    case FileState::Missing:
    case FileState::Fine:
        break;
    }
    QSettings store(kOrganisation, kApplication);
    store.setValue(QLatin1String(key), value);
    store.sync();
}

// Text lookup: only a value that is text (or a number, which reads as text) counts.
// A whole number, or nothing when the key is missing or holds anything else.
std::optional<qlonglong> integer(const char *key) {
    const auto value = stored(key);
    bool ok = false;
    const qlonglong n = value ? value->toString().trimmed().toLongLong(&ok) : 0;
    return ok ? std::optional(n) : std::nullopt;
}

// A yes or a no: true, yes, on or a whole number but 0; false, no, off or 0. Nothing for
// anything else.
std::optional<bool> flag(const char *key) {
    const auto value = stored(key);
    if (!value)
        return std::nullopt;
    const QString t = value->toString().trimmed().toLower();
    for (const char *yes : {"true", "yes", "on"})
        if (t == QLatin1String(yes))
            return true;
    for (const char *no : {"false", "no", "off"})
        if (t == QLatin1String(no))
            return false;
    bool ok = false;
    const qlonglong n = t.toLongLong(&ok);
    return ok ? std::optional(n != 0) : std::nullopt;
}

std::optional<QString> text(const char *key) {
    const auto value = stored(key);
    if (!value)
        return std::nullopt;
    switch (value->typeId()) {
    case QMetaType::QString:
        return value->toString();
    case QMetaType::QByteArray:
        return QString::fromUtf8(value->toByteArray());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return value->toString();
    default:
        return std::nullopt;
    }
}

} // namespace

QString Settings::ip() {
    return text("ip").value_or(QString());
}

void Settings::setIp(const QString &ip) {
    write("ip", ip);
}

QString Settings::deviceName() {
    return text("device").value_or(QStringLiteral("WiiM"));
}

void Settings::setDeviceName(const QString &name) {
    write("device", name);
}

std::int64_t Settings::volumeStep() {
    // Anything that is not a whole number reads as 0, and 0 or less as 3.
    const qlonglong step = integer("step").value_or(0);
    return step > 0 ? step : 3;
}

void Settings::setVolumeStep(std::int64_t step) {
    write("step", QVariant::fromValue<qlonglong>(step));
}

QString Settings::deviceUuid() {
    const auto value = stored("uuid");
    return value ? value->toString().trimmed() : QString();
}

void Settings::setDeviceUuid(const QString &uuid) {
    write("uuid", uuid);
}

std::int64_t Settings::maxVolume() {
    const qlonglong limit = integer("maxVolume").value_or(100);
    return limit >= 1 && limit <= 100 ? limit : 100;
}

void Settings::setMaxVolume(std::int64_t limit) {
    write("maxVolume", QVariant::fromValue<qlonglong>(limit));
}

bool Settings::interceptKeys() {
    return flag("keys").value_or(false);
}

void Settings::setInterceptKeys(bool on) {
    write("keys", on);
}

// An unreadable value keeps what most people want.
bool Settings::groupVolume() {
    return flag("groupVolume").value_or(true);
}

void Settings::setGroupVolume(bool on) {
    write("groupVolume", on);
}

} // namespace knobly
