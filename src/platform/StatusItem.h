#pragma once

#include <QImage>
#include <QPoint>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QMenu;

namespace knobly {

// The program's one presence in the desktop panel. Callbacks run on the main thread.
class StatusItem {
public:
    struct Callbacks {
        // A click on the item (Activate) or a request for its menu (ContextMenu); `at` is the
        // host's hint in global screen coordinates, or nothing when the host gave none that
        // is plausible.
        std::function<void(std::optional<QPoint> at)> activate;
        std::function<void(std::optional<QPoint> at)> contextMenu;
        // One scroll event over the item, vertical only, already normalised so that a
        // positive delta always means "up" whatever the host's convention; never zero.
        std::function<void(int delta)> scroll;
    };

    // A QAction property naming the row's icon in the desktop's icon theme
    // ("media-skip-forward-symbolic"): hosts that draw the menu themselves tint it for their
    // light or dark menus; the QAction's own icon is the fallback.
    static constexpr const char *iconNameProperty = "iconName";

    virtual ~StatusItem() = default;

    virtual void setTitle(const QString &title) = 0;
    // A freedesktop icon name (audio-volume-high, ...) and our own drawing of the symbol.
    virtual void setIcon(const QString &iconName, const QImage &image) = 0;
    virtual void setToolTip(const QString &title, const QString &text) = 0;
    // The menu hosts that draw menus themselves get exported (rows that are QWidgetActions
    // are exported as their child QActions, or as a plain label with their text).
    virtual void setMenu(QMenu *menu) = 0;
    // Whether a panel shows the item now (a host took it); false while none runs.
    virtual bool isInPanel() const { return true; }
    // Whether a click is answered by a menu the panel draws itself (no window of ours).
    virtual bool isMenuOnly() const { return false; }

    // The panel item for this desktop: a StatusNotifierItem when a watcher runs on the
    // session bus, else the XEmbed tray; nothing when neither can be had.
    static std::unique_ptr<StatusItem> create(Callbacks callbacks);
};

} // namespace knobly
