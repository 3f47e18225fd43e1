// The Options dialog: check boxes, font colour, output folders and the
// quality lists of both modes over an OptionsForm; OK stores it through the
// settings rules, Cancel drops it.
#pragma once

#include <QDialog>

#include "core/main_controller.h"

namespace quillet::qt {

std::unique_ptr<QDialog> makeOptionsDialog(QWidget* parent, MainController& app, Dialogs& dialogs);

}  // namespace quillet::qt
