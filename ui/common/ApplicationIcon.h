#pragma once
#include <QIcon>

namespace tav::ui {
// The application icon, drawn once (a vibration trace on a blue disc): the
// main window, the about box and the tray notice all show it.
QIcon ApplicationIcon();
}  // namespace tav::ui
