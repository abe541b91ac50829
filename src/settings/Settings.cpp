#include "Settings.h"

#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QVariant>

#include <memory>
#include <optional>

namespace knobly {

namespace {

// Reads one key. A file that could not be read or parsed counts as holding nothing, so a
// damaged file reads as defaults; reading never writes.
std::optional<QVariant> stored(const char *key) {
    QSettings store(QStringLiteral("Knobly"), QStringLiteral("Knobly"));
    if (store.status() != QSettings::NoError)
        return std::nullopt;
    QVariant value = store.value(QLatin1String(key));
    if (!value.isValid())
        return std::nullopt;
    return value;
}

void write(const char *key, const QVariant &value) {
    auto store = std::make_unique<QSettings>(QStringLiteral("Knobly"), QStringLiteral("Knobly"));
    if (store->status() == QSettings::FormatError) {
        // Keep the damaged file for the user instead of writing over it, then start afresh.
        const QString path = store->fileName();
        store.reset();
        const QString aside =
            path + QStringLiteral(".damaged-") +
            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddThhmmsszzz"));
        if (!QFile::rename(path, aside))
            return;
        store = std::make_unique<QSettings>(QStringLiteral("Knobly"), QStringLiteral("Knobly"));
    }
    if (store->status() != QSettings::NoError)
        return;
    store->setValue(QLatin1String(key), value);
    store->sync();
}

// Text lookup: only a value that is text (or a number, which reads as text) counts.
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

QString Settings::ip() { return text("ip").value_or(QString()); }

void Settings::setIp(const QString &ip) { write("ip", ip); }

QString Settings::deviceName() { return text("device").value_or(QStringLiteral("WiiM")); }

void Settings::setDeviceName(const QString &name) { write("device", name); }

std::int64_t Settings::volumeStep() {
    // Integer lookup: anything that is not a whole number reads as 0, and 0 or less as 3.
    std::int64_t step = 0;
    if (const auto value = stored("step")) {
        bool ok = false;
        const qlonglong n = value->toString().trimmed().toLongLong(&ok);
        if (ok)
            step = n;
    }
    return step > 0 ? step : 3;
}

void Settings::setVolumeStep(std::int64_t step) { write("step", QVariant::fromValue<qlonglong>(step)); }

bool Settings::interceptKeys() {
    const auto value = stored("keys");
    if (!value)
        return false;
    const QString t = value->toString().trimmed().toLower();
    if (t == QLatin1String("true") || t == QLatin1String("yes"))
        return true;
    bool ok = false;
    const qlonglong n = t.toLongLong(&ok);
    return ok && n != 0;
}

void Settings::setInterceptKeys(bool on) { write("keys", on); }

} // namespace knobly
