#include "ui/common/ScreenFit.h"

#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QWidget>

namespace tav::ui {

QSize ScreenRoom(const QWidget *window)
{
    const QScreen *screen = window && window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    const QSize free = screen ? screen->availableGeometry().size() : QSize(kSmallScreenWidth, kSmallScreenHeight);
    return (free - FrameAllowance()).expandedTo(QSize(320, 240));
}

void FitToScreen(QWidget *window, QSize wanted)
{
    window->resize(wanted.boundedTo(ScreenRoom(window)).expandedTo(window->minimumSizeHint()));
}

QScrollArea *ScrollingPage(QWidget *content)
{
    auto *area = new QScrollArea;
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setWidget(content);
    return area;
}

}  // namespace tav::ui
