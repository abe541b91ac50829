#include "DeviceInputs.h"

#include "PlayerStatus.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>

namespace knobly {

namespace {

QString tr(const char *text) {
    return QCoreApplication::translate("DeviceInputs", text);
}

} // namespace

std::vector<DeviceInput> inputsOfModel(const QString &project) {
    std::vector<DeviceInput> inputs{{QStringLiteral("wifi"), tr("Wi-Fi")},
                                    {QStringLiteral("bluetooth"), tr("Bluetooth")},
                                    {QStringLiteral("line-in"), tr("Line In")},
                                    {QStringLiteral("optical"), tr("Optical")}};
    const QString model = project.toLower();
    // The Amps (Amp, Amp Pro, Amp Ultra) add HDMI ARC; the Ultra adds HDMI and phono. The
    // Amps' ARC socket is switched to as HDMI (they report it playing as ARC).
    if (model.startsWith(QLatin1String("wiim_amp")))
        inputs.push_back({QStringLiteral("HDMI"), tr("HDMI ARC")});
    else if (model.startsWith(QLatin1String("wiim_ultra")))
        inputs.insert(inputs.end(), {{QStringLiteral("HDMI"), tr("HDMI ARC")},
                                     {QStringLiteral("phono"), tr("Phono")}});
    return inputs;
}

std::optional<QString> inputOfMode(std::int64_t mode) {
    switch (mode) {
    case 1:  // AirPlay
    case 2:  // DLNA
    case 10: // streaming services
    case 20: // the HTTP API
    case 31: // Spotify Connect
    case 32: // TIDAL Connect
    case 36: // Qobuz
        return QStringLiteral("wifi");
    case 40:
        return QStringLiteral("line-in");
    case 41:
        return QStringLiteral("bluetooth");
    case 43:
        return QStringLiteral("optical");
    case 45:
        return QStringLiteral("co-axial");
    case 49:
        return QStringLiteral("HDMI");
    case 51:
        return QStringLiteral("PCUSB");
    case 54:
        return QStringLiteral("phono");
    case 58:
        return QStringLiteral("ARC");
    default:
        return std::nullopt;
    }
}

bool isSameInput(const QString &inputMode, const QString &playingMode) {
    const auto hdmi = [](const QString &m) {
        return m == QLatin1String("HDMI") || m == QLatin1String("ARC");
    };
    return inputMode == playingMode || (hdmi(inputMode) && hdmi(playingMode));
}

std::optional<std::vector<DevicePreset>> decodePresets(const QByteArray &body) {
    const auto json = jsonObjectFrom(body);
    if (!json || !json->value(QLatin1String("preset_list")).isArray())
        return std::nullopt;
    std::vector<DevicePreset> presets;
    for (const QJsonValue &entry : json->value(QLatin1String("preset_list")).toArray()) {
        const QJsonObject preset = entry.toObject();
        const QJsonValue n = preset.value(QLatin1String("number"));
        const auto number = n.isString() ? integerFromDecimalText(n.toString())
                                         : integerFromJsonNumber(n.toDouble(-1));
        // Only what MCUKeyShortClick can play.
        if (!number || *number < 1 || *number > 99)
            continue;
        QString name = preset.value(QLatin1String("name")).toString().trimmed();
        if (name.isEmpty() || name == QLatin1String("unknow"))
            name = tr("Preset %1").arg(*number);
        presets.push_back({static_cast<int>(*number), name});
    }
    return presets;
}

} // namespace knobly
