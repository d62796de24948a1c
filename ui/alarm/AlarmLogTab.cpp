#include "ui/alarm/AlarmLogTab.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/alarm/AlarmEngine.h"
#include "core/history/HistoryQueryThread.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/MyListCtr.h"

using namespace tav::ui;

namespace {

constexpr int64_t kDayMs = 86'400'000;

class LogAnswerEvent : public QEvent {
public:
    static QEvent::Type Kind()
    {
        static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
        return type;
    }
    explicit LogAnswerEvent(std::unique_ptr<tav::HistoryAnswer> a) : QEvent(Kind()), answer(std::move(a)) {}
    std::unique_ptr<tav::HistoryAnswer> answer;
};

CAlarmLogTab::ExportChooser &Chooser()
{
    static CAlarmLogTab::ExportChooser chooser;
    return chooser;
}

QString AskForExportFile(QWidget *parent, const QString &suggested)
{
    QFileDialog dialog(parent, QStringLiteral("导出CSV"), suggested, QStringLiteral("CSV File(*.csv)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

QString Utf8(const char *s) { return QString::fromUtf8(s); }

QString Number(double v)
{
    if (!std::isfinite(v))
        return {};
    char text[32];
    std::snprintf(text, sizeof text, "%0.2f", v);
    return QString::fromLatin1(text);
}

}  // namespace

void CAlarmLogTab::SetExportChooser(ExportChooser chooser) { Chooser() = std::move(chooser); }

CAlarmLogTab::CAlarmLogTab(const tav::AlarmEngine &engine, std::function<int64_t()> now, QWidget *parent)
    : QWidget(parent), engine_(engine), now_(std::move(now))
{
    auto *root = new QVBoxLayout(this);
    auto *choices = new QHBoxLayout;
    root->addLayout(choices);
    choices->addWidget(new QLabel(QStringLiteral("从")));
    from_ = Tag(new QDateTimeEdit, kIdFrom, QStringLiteral("从"));
    choices->addWidget(from_);
    choices->addWidget(new QLabel(QStringLiteral("到")));
    to_ = Tag(new QDateTimeEdit, kIdTo, QStringLiteral("到"));
    choices->addWidget(to_);
    for (QDateTimeEdit *edit : {from_, to_}) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd hh:mm"));
        edit->setCalendarPopup(true);
    }
    choices->addWidget(new QLabel(QStringLiteral("传感器")));
    sensor_ = Tag(new QComboBox, kIdSensor, QStringLiteral("传感器"));
    sensor_->addItem(QStringLiteral("全部"), 0);
    sensor_->setMinimumContentsLength(10);
    choices->addWidget(sensor_);
    choices->addWidget(new QLabel(QStringLiteral("级别")));
    severity_ = Tag(new QComboBox, kIdSeverity, QStringLiteral("级别"));
    severity_->addItem(QStringLiteral("全部"), 0);
    for (tav::AlarmSeverity s : {tav::AlarmSeverity::kAlert, tav::AlarmSeverity::kDanger, tav::AlarmSeverity::kOffline,
                                 tav::AlarmSeverity::kSensorFault,
                                tav::AlarmSeverity::kChange})
        severity_->addItem(Utf8(tav::SeverityText(s)), int(s));
    choices->addWidget(severity_);
    auto *query = Tag(new QPushButton(QStringLiteral("查询")), kIdQuery, QStringLiteral("查询"));
    auto *exportButton = Tag(new QPushButton(QStringLiteral("导出CSV")), kIdExport, QStringLiteral("导出CSV"));
    for (QPushButton *b : {query, exportButton}) {
        b->setAutoDefault(false);
        choices->addWidget(b);
    }
    choices->addStretch(1);
    connect(query, &QPushButton::clicked, this, &CAlarmLogTab::Query);
    connect(exportButton, &QPushButton::clicked, this, &CAlarmLogTab::Export);
    // A filter chosen is a new query: the operator need not press "查询".
    connect(sensor_, &QComboBox::activated, this, &CAlarmLogTab::Query);
    connect(severity_, &QComboBox::activated, this, &CAlarmLogTab::Query);

    table_ = Tag(new CMyListCtr, kIdTable, QStringLiteral("报警记录"));
    table_->SetColumns({QStringLiteral("时间"), QStringLiteral("地址"), QStringLiteral("设备名称"), QStringLiteral("轴"),
                        QStringLiteral("参数"), QStringLiteral("数值"), QStringLiteral("限值"), QStringLiteral("级别"),
                        QStringLiteral("事件"), QStringLiteral("备注")},
                       {150, 50, 130, 50, 150, 70, 70, 50, 50, 200});
    table_->setMouseTracking(false);
    root->addWidget(table_, 1);
    connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        if (!shown_ || row < 0 || row >= int(shown_->size()))
            return;
        const std::string &capture = (*shown_)[shown_->size() - 1 - size_t(row)].capture;  // newest first
        if (!capture.empty())
            emit openCapture(QString::fromStdString(capture));
    });
    status_ = Tag(new QLabel, kIdStatus, QStringLiteral("状态"));
    root->addWidget(status_);
    ResetRange();
}

CAlarmLogTab::~CAlarmLogTab() { queries_.reset(); }

void CAlarmLogTab::SetDatabase(std::string databasePath, std::string exportFolder)
{
    exportFolder_ = std::move(exportFolder);
    if (databasePath == databasePath_)
        return;
    databasePath_ = std::move(databasePath);
    queries_.reset();
}

void CAlarmLogTab::ResetRange()
{
    const int64_t now = now_();
    // "到" a minute ahead: the edits show whole minutes, and the events of
    // the current one belong in "the last 24 h".
    autoTo_ = QDateTime::fromMSecsSinceEpoch(now + 60'000);
    autoFrom_ = QDateTime::fromMSecsSinceEpoch(now - kDayMs);
    to_->setDateTime(autoTo_);
    from_->setDateTime(autoFrom_);
}

int CAlarmLogTab::Pending() const { return (queries_ ? queries_->Outstanding() : 0) + answersPosted_.load(); }

bool CAlarmLogTab::event(QEvent *e)
{
    if (e->type() == LogAnswerEvent::Kind()) {
        answersPosted_.fetch_sub(1);
        TakeAnswer(std::move(static_cast<LogAnswerEvent *>(e)->answer));
        return true;
    }
    return QWidget::event(e);
}

void CAlarmLogTab::Query()
{
    if (databasePath_.empty()) {
        error_ = QStringLiteral("历史数据未启用，没有报警记录");
        ShowStatus();
        return;
    }
    // A range the operator has not touched follows the clock.
    if (to_->dateTime() == autoTo_ && from_->dateTime() == autoFrom_)
        ResetRange();
    // Seconds count from the edits' whole minutes.
    const int64_t from = from_->dateTime().toMSecsSinceEpoch() / 60'000 * 60'000;
    const int64_t to = to_->dateTime().toMSecsSinceEpoch() / 60'000 * 60'000;
    if (from >= to) {
        ShowMessage(this, QStringLiteral("开始时间必须早于结束时间"));
        return;
    }
    if (!queries_)
        queries_ = std::make_unique<tav::HistoryQueryThread>(databasePath_,
                                                             [this](std::unique_ptr<tav::HistoryAnswer> a) {
                                                                 answersPosted_.fetch_add(1);
                                                                 QCoreApplication::postEvent(
                                                                     this, new LogAnswerEvent(std::move(a)));
                                                             });
    tav::AlarmLogFilter filter;
    filter.address = sensor_->currentData().toInt();
    filter.severity = severity_->currentData().toInt();
    filter.fromUtcMs = from;
    filter.toUtcMs = to;
    filter.maxRows = kMaxReadRows;
    queries_->RequestAlarmLog(++request_, filter);
    ShowStatus();
}

void CAlarmLogTab::TakeAnswer(std::unique_ptr<tav::HistoryAnswer> answer)
{
    if (answer->kind == tav::HistoryAnswer::kAlarmExport) {
        lastExport_ = QString::fromStdString(answer->exportPath);
        lastExportOk_ = answer->ok;
        if (!answer->ok)
            ShowMessage(this, QStringLiteral("导出失败: ") + QString::fromStdString(answer->error));
        ShowStatus();
        return;
    }
    if (answer->kind != tav::HistoryAnswer::kAlarmLog || answer->query.request != request_)
        return;  // an older choice's: the newer one is on its way
    if (!answer->ok) {
        error_ = QString::fromStdString(answer->error);
        ShowStatus();
        return;
    }
    error_.clear();
    shown_ = answer->alarms;
    truncated_ = answer->alarmsTruncated;
    FillSensors(answer->alarmAddresses);
    Show();
}

void CAlarmLogTab::FillSensors(const std::vector<int32_t> &addresses)
{
    const int chosen = sensor_->currentData().toInt();
    std::vector<int32_t> all = addresses;
    if (chosen != 0 && std::find(all.begin(), all.end(), chosen) == all.end())
        all.push_back(chosen);
    std::sort(all.begin(), all.end());
    bool same = sensor_->count() == int(all.size()) + 1;
    for (int i = 0; same && i < int(all.size()); ++i)
        same = sensor_->itemData(i + 1).toInt() == all[size_t(i)];
    if (same)
        return;
    sensor_->clear();
    sensor_->addItem(QStringLiteral("全部"), 0);
    for (int32_t a : all) {
        const tav::MachineSettings *m = engine_.Machine(a);
        QString text = QString::number(a);
        if (m && !m->name.empty())
            text += QStringLiteral(" ") + QString::fromStdString(m->name);
        sensor_->addItem(text, a);
    }
    sensor_->setCurrentIndex(std::max(0, sensor_->findData(chosen)));
}

void CAlarmLogTab::Show()
{
    const std::vector<tav::AlarmEvent> &events = *shown_;
    const int rows = std::min(int(events.size()), kMaxShownRows);
    table_->BeginRefresh();
    table_->SetRowCount(rows);
    for (int r = 0; r < rows; ++r) {
        const tav::AlarmEvent &e = events[events.size() - 1 - size_t(r)];  // newest first
        const bool rateNote = e.kind == tav::AlarmEventKind::kRateLimited;
        const bool offline = e.severity == tav::AlarmSeverity::kOffline;
        const QString cells[10] = {
            QDateTime::fromMSecsSinceEpoch(e.utcMs).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
            QString::number(e.address),
            QString::fromStdString(e.name),
            Utf8(tav::AxisText(e.axis)),
            rateNote ? QString() : Utf8(tav::QuantityText(e.quantity)),
            offline ? QString() : Number(e.value),  // older logs kept seconds and the watch here
            offline ? QString() : Number(e.limit),
            Utf8(tav::SeverityText(e.severity)),
            Utf8(tav::EventKindText(e.kind)),
            QString::fromStdString(tav::EventRemark(e)),
        };
        for (int c = 0; c < 10; ++c)
            table_->SetCellText(r, c, cells[c]);
    }
    table_->EndRefresh();
    ShowStatus();
}

void CAlarmLogTab::ShowStatus()
{
    QString text;
    if (!error_.isEmpty())
        text = error_;
    else if (shown_)
        text = int(shown_->size()) > kMaxShownRows
                   ? QStringLiteral("共 %1 条，显示最新 %2 条，导出全部").arg(shown_->size()).arg(kMaxShownRows)
                   : QStringLiteral("共 %1 条").arg(shown_->size());
    if (truncated_ && error_.isEmpty())
        text += QStringLiteral("（超过 %1 条，只读取了最新的部分，请缩小范围）").arg(qulonglong(kMaxReadRows));
    if (Pending() > 0)
        text += QStringLiteral("  读取中…");
    if (!lastExport_.isEmpty() && lastExportOk_)
        text += QStringLiteral("  已导出: ") + lastExport_;
    status_->setText(text);
}

void CAlarmLogTab::Export()
{
    if (!shown_ || shown_->empty()) {
        ShowMessage(this, QStringLiteral("没有可导出的数据"));
        return;
    }
    const QString suggested =
        QString::fromStdString(exportFolder_) +
        QStringLiteral("/alarms_%1.csv").arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_hhmmss")));
    const QString path = Chooser() ? Chooser()(this, suggested) : AskForExportFile(this, suggested);
    if (path.isEmpty())
        return;
    // What the table was read from goes as it is: the file holds what the
    // operator chose, even if a newer answer arrives meanwhile.
    queries_->RequestAlarmExport(shown_, QFile::encodeName(path).toStdString(), false);
    ShowStatus();
}
