#pragma once
// Windows on the smallest screens the station runs on (1280 x 720): a window
// opens at the size it would like but no larger than what its screen leaves
// free, and the smallest it may get keeps every control on the screen.
// Window thread only.
#include <QSize>

class QScrollArea;
class QWidget;

namespace tav::ui {

// The smallest screen the windows are laid out for.
constexpr int kSmallScreenWidth = 1280;
constexpr int kSmallScreenHeight = 720;

// Room a window manager's frame and title bar take from a screen.
inline QSize FrameAllowance() { return QSize(16, 40); }

// The size a window may open at on its screen (or on the small screen
// when it has none yet), its frame left out.
QSize ScreenRoom(const QWidget *window);

// Resizes `window` to `wanted`, bounded by ScreenRoom and kept at least at
// the window's minimum size.
void FitToScreen(QWidget *window, QSize wanted);

// A frameless scroll area that holds `content` and lets it grow with the
// window: content taller or wider than the window scrolls instead of
// pushing controls off the screen.
QScrollArea *ScrollingPage(QWidget *content);

}  // namespace tav::ui
