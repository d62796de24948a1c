#include "ui/main/AlarmControls.h"

#include <QDateTime>
#include <QLayout>
#include <QMenuBar>

#include "core/history/HistoryReader.h"
#include "ui/alarm/AlarmDlg.h"
#include "ui/alarm/AlarmIndicator.h"
#include "ui/alarm/AlarmNotice.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/main/TavenorDlg.h"
#include "ui/main/TransientControls.h"

namespace tav::ui {

AlarmControls::AlarmControls(CTavenorDlg &window) : QObject(&window), window_(window)
{
    dialog_ = new CAlarmDlg(window.Station().Alarms(), [] { return QDateTime::currentMSecsSinceEpoch(); }, &window);
    // The replay belongs to the main window's transient controls.
    connect(dialog_, &CAlarmDlg::openCapture, this, [this](const QString &path) {
        if (auto *transient = window_.findChild<TransientControls *>()) {
            transient->OpenForReplay(path);
            window_.raise();
            window_.activateWindow();
        }
    });
    if (QMenuBar *bar = window.MenuBar()) {
        auto *menu = new QMenu(QStringLiteral("报警"), bar);
        QAction *open = TagAction(menu->addAction(QStringLiteral("报警列表")), kAlarmCommand);
        connect(open, &QAction::triggered, this, [this] { emit window_.menuCommand(kAlarmCommand); });
        // Before "帮助", which stays last.
        const QList<QAction *> menus = bar->actions();
        bar->insertMenu(menus.isEmpty() ? nullptr : menus.back(), menu);
        indicator_ = new AlarmIndicator(bar);
        indicator_->setObjectName(QString::number(kIdIndicator));
        indicator_->setAccessibleDescription(QString::number(kIdIndicator));
        // Beside whatever the window keeps in the corner (the broker link's state).
        QWidget *corner = bar->cornerWidget(Qt::TopRightCorner);
        if (corner && corner->layout())
            corner->layout()->addWidget(indicator_);
        else
            bar->setCornerWidget(indicator_, Qt::TopRightCorner);
        connect(indicator_, &QPushButton::clicked, this, &AlarmControls::OpenWindow);
    }
    notice_ = new AlarmNotice(window);
    connect(notice_, &AlarmNotice::openAlarms, this, [this] {
        OpenWindow();
        dialog_->raise();
        dialog_->activateWindow();
    });
    connect(&window, &CTavenorDlg::menuCommand, this, [this](int id) {
        if (id == kAlarmCommand)
            OpenWindow();
    });
    connect(&window, &CTavenorDlg::steadyTick, this, &AlarmControls::OnTick);
    UpdateIndicator();
}

void AlarmControls::OpenWindow()
{
    // The data folder is settled once the station has started.
    tav::Station &station = window_.Station();
    if (station.Settings().history.enabled)
        dialog_->SetHistory(station.DataFolder() + "/" + kHistoryFileName, station.DataFolder());
    else
        dialog_->SetHistory({}, station.DataFolder());
    dialog_->OpenDialog();
}

void AlarmControls::OnTick()
{
    // The station's tick has run the engine already (it is a snapshot
    // consumer); this only shows the result.
    UpdateIndicator();
    tav::Station &station = window_.Station();
    for (const CaptureOutcome &o : station.Captures().TakeOutcomes()) {
        dialog_->NoteCapture(o.path, o.ok, o.complete);
        if (!o.ok)
            station.NoteCaptureLost(o.path);
        if (!o.message.empty())
            emit window_.logLine(QString::fromStdString(o.message));
    }
    // station.toml is looked at and parsed on the watcher's thread; only
    // its result is taken here.
    for (const std::string &m : station.ApplyReloadedSettings())
        emit window_.logLine(QString::fromStdString(m));
}

void AlarmControls::UpdateIndicator()
{
    const std::vector<Alarm> alarms = window_.Station().Alarms().Alarms();
    const IndicatorState state = IndicatorOf(alarms);
    if (indicator_)
        indicator_->Show(state);
    notice_->Announce(watch_.Take(alarms), window_.Station().Settings().notice.sound);
    notice_->Settle(state.urgent);
}

}  // namespace tav::ui
