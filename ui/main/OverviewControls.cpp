#include "ui/main/OverviewControls.h"

#include <QMenuBar>

#include "ui/common/Controls.h"
#include "ui/main/TavenorDlg.h"
#include "ui/overview/OverviewDlg.h"

namespace tav::ui {

OverviewControls::OverviewControls(CTavenorDlg &window) : QObject(&window), window_(window)
{
    dialog_ = new COverviewDlg(&window);
    rememberedOpen_ = window.Station().Settings().window.overview;
    if (QMenuBar *bar = window.MenuBar()) {
        // A menu of its own with one entry: the overview is where the
        // operator goes back to, so it sits first in the bar.
        auto *menu = new QMenu(QStringLiteral("总览"), bar);
        QAction *open = TagAction(menu->addAction(QStringLiteral("总览")), kOverviewCommand);
        connect(open, &QAction::triggered, this, [this] { emit window_.menuCommand(kOverviewCommand); });
        const QList<QAction *> menus = bar->actions();
        bar->insertMenu(menus.isEmpty() ? nullptr : menus.front(), menu);
    }
    connect(&window, &CTavenorDlg::menuCommand, this, [this](int id) {
        if (id == kOverviewCommand)
            Open();
    });
    // The tiles' state follows every tick, shown or not (0.02 ms for 40):
    // a sensor that stopped while the window was closed is offline the
    // moment it opens, not 10 s later. Only the painting waits for a viewer.
    connect(&window, &CTavenorDlg::steadyTick, this, &OverviewControls::Refresh);
    connect(dialog_, &COverviewDlg::sensorChosen, this, [this](int address) { ShowSensor(address); });
    connect(dialog_, &COverviewDlg::closedByOperator, this, [this] { Remember(false); });
}

void OverviewControls::OpenAtStart()
{
    if (rememberedOpen_)
        Open();
}

void OverviewControls::Open()
{
    ticksSinceKnown_ = 0;  // the machines as they are now
    Refresh();
    dialog_->ShowModel();
    dialog_->OpenDialog();
    Remember(true);
}

void OverviewControls::Refresh()
{
    tav::Station &station = window_.Station();
    // Connected sensors come from the snapshot itself; the device table
    // and the settings name the machines that are not. They change at most
    // as often as the settings watcher looks (2 s), so the list is made
    // again every fourth tick, or when the window opens, not on every tick.
    if (ticksSinceKnown_++ % 4 == 0)
        known_ = KnownSensors({}, station.DeviceTable(), station.Settings().sensors);
    dialog_->Model().Refresh(known_, station.LastSnapshot(), station.Alarms());
    if (dialog_->isVisible())
        dialog_->ShowModel();
}

bool OverviewControls::ShowSensor(int address)
{
    // The slot the sensor is in now, as the connection list would find it.
    auto &table = window_.Station().Table();
    for (int slot = 0; slot < kSlotCount; ++slot) {
        const auto &rec = table.records[slot];
        if (!rec.InUse() || rec.sensorAddress.load() != uint32_t(address))
            continue;
        window_.SelectConnection(slot);
        window_.RebuildConnectionList();
        window_.raise();
        window_.activateWindow();
        return true;
    }
    dialog_->ShowNote(QStringLiteral("传感器 %1 未连接，主窗口无法显示它").arg(address));
    return false;
}

void OverviewControls::Remember(bool open)
{
    if (open == rememberedOpen_)
        return;
    rememberedOpen_ = open;
    const std::string error = SaveOverviewOpen(window_.Station().SettingsPath(), open);
    if (!error.empty())
        dialog_->ShowNote(QString::fromStdString(error));
}

}  // namespace tav::ui
