#include "alarm/AlarmDlg.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>

#include "app/Controls.h"
#include "steady/MyListCtr.h"

using namespace tav::ui;

namespace {

QString Utf8(const char *s) { return QString::fromUtf8(s); }

QString Number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0.2f", v);
    return QString::fromLatin1(text);
}

}  // namespace

CAlarmDlg::CAlarmDlg(tav::AlarmEngine &engine, std::function<int64_t()> now, QWidget *parent)
    : QDialog(parent), engine_(engine), now_(std::move(now))
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("报警"));
    resize(900, 420);
    auto *root = new QVBoxLayout(this);
    list_ = Tag(new CMyListCtr, kIdList, QStringLiteral("报警列表"));
    list_->SetColumns({QStringLiteral("时间"), QStringLiteral("地址"), QStringLiteral("设备名称"), QStringLiteral("轴"),
                       QStringLiteral("参数"), QStringLiteral("数值"), QStringLiteral("限值"), QStringLiteral("级别"),
                       QStringLiteral("状态")},
                      {150, 50, 130, 50, 150, 70, 70, 50, 100});
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
    for (QPushButton *b : {selected, all}) {
        b->setAutoDefault(false);
        row->addWidget(b);
    }
    root->addLayout(row);
    connect(selected, &QPushButton::clicked, this, [this] { Acknowledge(false); });
    connect(all, &QPushButton::clicked, this, [this] { Acknowledge(true); });
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
    list_->clearSelection();
    for (int r = 0; r < int(alarms.size()); ++r) {
        const tav::Alarm &a = alarms[size_t(r)];
        rowIds_.push_back(a.id);
        const QString when = QDateTime::fromMSecsSinceEpoch(a.raisedMs).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        const bool offline = a.severity == tav::AlarmSeverity::kOffline;
        const QString cells[9] = {when,
                                  QString::number(a.address),
                                  QString::fromStdString(a.name),
                                  Utf8(tav::AxisText(a.axis)),
                                  Utf8(tav::QuantityText(a.quantity)),
                                  offline ? QString() : Number(a.value),
                                  offline ? QString() : Number(a.limit),
                                  Utf8(tav::SeverityText(a.severity)),
                                  Utf8(tav::StateText(a))};
        const QColor colour = !a.active                                       ? QColor(220, 220, 220)
                              : a.severity == tav::AlarmSeverity::kDanger    ? QColor(255, 120, 120)
                              : a.severity == tav::AlarmSeverity::kAlert     ? QColor(255, 200, 120)
                                                                             : QColor(190, 190, 255);
        for (int c = 0; c < 9; ++c) {
            list_->SetCellText(r, c, cells[c]);
            if (QTableWidgetItem *item = list_->item(r, c); item && item->background().color() != colour)
                item->setBackground(colour);
        }
        if (std::find(chosen.begin(), chosen.end(), a.id) != chosen.end())
            list_->selectionModel()->select(list_->model()->index(r, 0),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    list_->EndRefresh();
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
    engine_.Acknowledge(ids, comment_->text().trimmed().toStdString(), now_());
    comment_->clear();
    Refresh();
}
