#pragma once

#include "UpdateController.h"

class QWidget;

namespace knobly {

// Tells the user what an update check found; offers the download page when there is news.
void showUpdateResult(const UpdateController::Result &r, QWidget *parent = nullptr);

} // namespace knobly
