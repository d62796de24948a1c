#include "ui/alarm/AlarmDlg.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>
#include <set>

#include "ui/alarm/AlarmLogTab.h"

#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/MyListCtr.h"
#include "ui/common/ScreenFit.h"

using namespace tav::ui;

namespace {

QString Utf8(const char *s) { return QString::fromUtf8(s); }

QString Number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0.2f", v);
    return QString::fromLatin1(text);
}

// The value that raised the alarm, and the latest beside it when it differs:
// after a recovery the latest alone would stand under a danger it never was.
QString Values(const tav::Alarm &a)
{
    if (!std::isfinite(a.raiseValue))
        return std::isfinite(a.value) ? Number(a.value) : QString();
    const QString raised = Number(a.raiseValue);
    if (!std::isfinite(a.value) || Number(a.value) == raised)
        return raised;
    return QStringLiteral("%1（最新 %2）").arg(raised, Number(a.value));
}

}  // namespace

// A band's alarm names the band as the settings do ("频带2 1X").
QString CAlarmDlg::QuantityCell(const tav::Alarm &a) const
{
    QString text = Utf8(tav::QuantityText(a.quantity));
    int count = 0;
    const tav::WatchedBand *bands = engine_.Bands(a.address, &count);
    const int band = a.quantity - tav::kBandQuantity;
    if (tav::IsBandQuantity(a.quantity) && band < count && !bands[band].name.empty())
        text += QStringLiteral(" ") + QString::fromStdString(bands[band].name);
    return text;
}

CAlarmDlg::CAlarmDlg(tav::AlarmEngine &engine, std::function<int64_t()> now, QWidget *parent)
    : QDialog(parent), engine_(engine), now_(std::move(now))
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("报警"));
    FitToScreen(this, QSize(1000, 460));
    auto *outer = new QVBoxLayout(this);
    tabs_ = Tag(new QTabWidget, kIdTabs, QStringLiteral("报警"));
    outer->addWidget(tabs_);
    auto *current = new QWidget;
    tabs_->addTab(current, QStringLiteral("当前报警"));
    log_ = new CAlarmLogTab(engine_, now_);
    tabs_->addTab(log_, QStringLiteral("报警记录"));
    connect(log_, &CAlarmLogTab::openCapture, this, &CAlarmDlg::openCapture);
    // The log is read when looked at, not when the window opens.
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        if (tabs_->widget(index) != log_)
            return;
        if (!logShown_)
            log_->ResetRange();
        logShown_ = true;
        log_->Query();
    });
    auto *root = new QVBoxLayout(current);
    list_ = Tag(new CMyListCtr, kIdList, QStringLiteral("报警列表"));
    list_->SetColumns({QStringLiteral("时间"), QStringLiteral("地址"), QStringLiteral("设备名称"), QStringLiteral("轴"),
                       QStringLiteral("参数"), QStringLiteral("数值"), QStringLiteral("限值"), QStringLiteral("级别"),
                       QStringLiteral("状态"), QStringLiteral("录波")},
                      {150, 50, 130, 50, 150, 130, 70, 50, 110, 70});
    // Several alarms may be acknowledged at once.
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setMouseTracking(false);
    root->addWidget(list_);
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("备注")));
    comment_ = Tag(new QLineEdit, kIdComment, QStringLiteral("备注"));
    comment_->setPlaceholderText(QStringLiteral("确认时的说明，可不填"));
    row->addWidget(comment_, 1);
    auto *selected = Tag(new QPushButton(QStringLiteral("确认所选")), kIdAckSelected, QStringLiteral("确认所选"));
    auto *all = Tag(new QPushButton(QStringLiteral("全部确认")), kIdAckAll, QStringLiteral("全部确认"));
    openCapture_ = Tag(new QPushButton(QStringLiteral("回放录波")), kIdOpenCapture, QStringLiteral("回放录波"));
    for (QPushButton *b : {selected, all, openCapture_}) {
        b->setAutoDefault(false);
        row->addWidget(b);
    }
    root->addLayout(row);
    connect(selected, &QPushButton::clicked, this, [this] { Acknowledge(false); });
    connect(all, &QPushButton::clicked, this, [this] { Acknowledge(true); });
    connect(openCapture_, &QPushButton::clicked, this, &CAlarmDlg::OpenSelectedCapture);
    // A double click on the capture's cell opens it too.
    connect(list_, &QTableWidget::cellDoubleClicked, this, [this](int row, int column) {
        if (column == kCaptureColumn && row >= 0 && size_t(row) < rowCaptures_.size() &&
            StateOf(rowCaptures_[size_t(row)]) == CaptureState::kReady)
            emit openCapture(QString::fromStdString(rowCaptures_[size_t(row)]));
    });
    timer_.setInterval(kRefreshMs);
    connect(&timer_, &QTimer::timeout, this, &CAlarmDlg::Refresh);
}

void CAlarmDlg::OpenDialog()
{
    Refresh();
    show();
    raise();
    activateWindow();
    timer_.start();
}

void CAlarmDlg::Refresh()
{
    if (!isVisible() && timer_.isActive())
        timer_.stop();
    const std::vector<tav::Alarm> alarms = engine_.Alarms();
    // The selection follows the alarms, not the rows, as the list reorders.
    std::vector<uint64_t> chosen;
    for (const QModelIndex &i : list_->selectionModel()->selectedRows())
        if (size_t(i.row()) < rowIds_.size())
            chosen.push_back(rowIds_[size_t(i.row())]);
    list_->BeginRefresh();
    list_->SetRowCount(int(alarms.size()));
    rowIds_.clear();
    rowCaptures_.clear();
    list_->clearSelection();
    for (int r = 0; r < int(alarms.size()); ++r) {
        const tav::Alarm &a = alarms[size_t(r)];
        rowIds_.push_back(a.id);
        rowCaptures_.push_back(a.capture);
        const QString capture = a.capture.empty() ? (a.captureLost ? QStringLiteral("未保存") : QString())
                                : StateOf(a.capture) == CaptureState::kReady     ? QStringLiteral("回放")
                                : StateOf(a.capture) == CaptureState::kIncomplete ? QStringLiteral("回放（不完整）")
                                : StateOf(a.capture) == CaptureState::kFailed    ? QStringLiteral("失败")
                                                                                 : QStringLiteral("录制中");
        const QString when = QDateTime::fromMSecsSinceEpoch(a.raisedMs).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        const bool offline = a.severity == tav::AlarmSeverity::kOffline;
        const bool fault = a.severity == tav::AlarmSeverity::kSensorFault;
        const QString cells[10] = {when,
                                  QString::number(a.address),
                                  QString::fromStdString(a.name),
                                  Utf8(tav::AxisText(a.axis)),
                                  QuantityCell(a),
                                  fault     ? Utf8(tav::SensorFaultText(a.faults).c_str())
                                  : offline ? QString()
                                            : Values(a),
                                  offline || fault ? QString() : Number(a.limit),
                                  Utf8(tav::SeverityText(a.severity)),
                                  Utf8(tav::StateText(a)),
                                  capture};
        const QColor colour = !a.active                                       ? QColor(220, 220, 220)
                              : a.severity == tav::AlarmSeverity::kDanger    ? QColor(255, 120, 120)
                              : a.severity == tav::AlarmSeverity::kAlert     ? QColor(255, 200, 120)
                              : fault                                        ? QColor(225, 175, 255)
                              : a.severity == tav::AlarmSeverity::kChange    ? QColor(255, 235, 150)
                                                                             : QColor(190, 190, 255);
        for (int c = 0; c < 10; ++c) {
            list_->SetCellText(r, c, cells[c]);
            if (QTableWidgetItem *item = list_->item(r, c); item && item->background().color() != colour)
                item->setBackground(colour);
        }
        if (std::find(chosen.begin(), chosen.end(), a.id) != chosen.end())
            list_->selectionModel()->select(list_->model()->index(r, 0),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    list_->EndRefresh();
    // Outcomes of captures no listed alarm names any more are not needed.
    const std::set<std::string> named(rowCaptures_.begin(), rowCaptures_.end());
    for (auto it = captures_.begin(); it != captures_.end();)
        it = named.count(it->first) ? std::next(it) : captures_.erase(it);
}

void CAlarmDlg::SetHistory(std::string databasePath, std::string exportFolder)
{
    log_->SetDatabase(std::move(databasePath), std::move(exportFolder));
}

void CAlarmDlg::NoteCapture(const std::string &path, bool ok, bool complete)
{
    // Only captures of listed alarms: a capture outlives its alarm in the
    // folder, not here.
    for (const tav::Alarm &a : engine_.Alarms())
        if (a.capture == path) {
            captures_[path] = !ok ? CaptureState::kFailed : complete ? CaptureState::kReady : CaptureState::kIncomplete;
            break;
        }
    if (isVisible())
        Refresh();
}

CAlarmDlg::CaptureState CAlarmDlg::StateOf(const std::string &path) const
{
    const auto it = captures_.find(path);
    return it == captures_.end() ? CaptureState::kRecording : it->second;
}

void CAlarmDlg::OpenSelectedCapture()
{
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        ShowMessage(this, QStringLiteral("请先选择一条有录波的报警"));
        return;
    }
    const int row = rows.first().row();
    const std::string path = size_t(row) < rowCaptures_.size() ? rowCaptures_[size_t(row)] : std::string();
    if (path.empty()) {
        ShowMessage(this, QStringLiteral("该报警没有录波"));
        return;
    }
    switch (StateOf(path)) {
    case CaptureState::kRecording: ShowMessage(this, QStringLiteral("录波尚未写完，请稍候")); return;
    case CaptureState::kFailed: ShowMessage(this, QStringLiteral("该报警的录波写入失败")); return;
    case CaptureState::kReady:
    case CaptureState::kIncomplete: emit openCapture(QString::fromStdString(path)); return;
    }
}

void CAlarmDlg::Acknowledge(bool all)
{
    std::vector<uint64_t> ids;
    if (!all) {
        for (const QModelIndex &i : list_->selectionModel()->selectedRows())
            if (size_t(i.row()) < rowIds_.size())
                ids.push_back(rowIds_[size_t(i.row())]);
        if (ids.empty())
            return;  // nothing chosen: an empty list would mean all
    }
    static const std::string user = tav::DesktopUserName();  // the session's login does not change
    engine_.Acknowledge(ids, comment_->text().trimmed().toStdString(), now_(), user);
    comment_->clear();
    Refresh();
}
