#pragma once

#include "StatusItem.h"

#include <QMenu>
#include <QPointer>

#include <vector>

namespace knobly {

// A panel item that remembers what it was told and lets a test click and scroll it.
class RecordingStatusItem final : public StatusItem {
public:
    struct Shared {
        QString title;
        QString iconName;
        QImage image;
        QString toolTip;
        QPointer<QMenu> menu;
        int iconChanges = 0;
        bool inPanel = true;
        Callbacks callbacks;
    };

    RecordingStatusItem(Callbacks callbacks, std::shared_ptr<Shared> shared)
        : shared_(std::move(shared)) {
        shared_->callbacks = std::move(callbacks);
    }

    void setTitle(const QString &title) override { shared_->title = title; }
    void setIcon(const QString &iconName, const QImage &image) override {
        shared_->iconName = iconName;
        shared_->image = image;
        ++shared_->iconChanges;
    }
    void setToolTip(const QString &, const QString &text) override { shared_->toolTip = text; }
    void setMenu(QMenu *menu) override { shared_->menu = menu; }
    bool isInPanel() const override { return shared_->inPanel; }

private:
    std::shared_ptr<Shared> shared_;
};

} // namespace knobly
