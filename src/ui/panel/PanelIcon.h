#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace knobly {

class StatusItem;

// Draws the panel item: the speaker for the volume (a red cross while the device does not
// answer) and the tool tip. Redraws only what changed, so an idle poll costs nothing here.
class PanelIcon {
public:
    explicit PanelIcon(StatusItem *item);

    // `reachable` false draws the cross; nothing (not yet asked) the plain speaker. Without a
    // volume the speaker stays as it was.
    void show(std::optional<std::int64_t> volume, bool muted, std::optional<bool> reachable);
    // The menu's first line, then the volume when a device is chosen.
    // Then one line for each other room of a group the device leads.
    void setToolTip(const QString &statusLine, std::optional<std::int64_t> volume,
                    const QStringList &rooms = {});
    // The symbol the speaker is drawn from.
    const QString &symbol() const { return symbol_; }

private:
    StatusItem *item_;
    QString symbol_ = QStringLiteral("hifispeaker.fill");
    QString shown_; // the icon last drawn
    QString toolTip_;
};

} // namespace knobly
