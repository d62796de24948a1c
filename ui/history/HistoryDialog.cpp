#include "ui/history/HistoryDialog.h"

#include <QCoreApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <chrono>
#include <qcustomplot.h>

#include "core/history/HistoryCsv.h"
#include "core/history/HistoryQueryThread.h"
#include "core/steady/SteadyViewerState.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/ScreenFit.h"
#include "ui/common/SeriesBoxes.h"

using namespace tav::ui;

namespace {

const char *const kFactorRange = "倍率设置范围为0.001~1000.0";
const char *const kBadDates = "开始时间必须早于结束时间";
const char *const kNothingToExport = "没有可导出的数据";
const char *const kExportFailed = "导出失败: ";
const char *const kAbbreviations =
    "X-X轴 Y-Y轴 Z-Z轴 AR-加速度RMS, AP-加速度峰值 ,AK 加速度峭度系数, VR速度RMS, VP速度峰值, DR位移RMS, "
    "DP 位移峰峰值。拖动鼠标选取时间段放大，“返回”回到上一级。";
constexpr double kRows = 10.0;  // value x factor, as in the 60-minute trend
constexpr int kBandAlpha = 60;

// The answer of the query thread, posted to the dialog.
class AnswerEvent : public QEvent {
public:
    static QEvent::Type Kind()
    {
        static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
        return type;
    }
    explicit AnswerEvent(std::unique_ptr<tav::HistoryAnswer> a) : QEvent(Kind()), answer(std::move(a)) {}
    std::unique_ptr<tav::HistoryAnswer> answer;
};

CHistoryDialog::ExportChooser &Chooser()
{
    static CHistoryDialog::ExportChooser chooser;
    return chooser;
}

QString AskForExportFile(QWidget *parent, const QString &suggested)
{
    QFileDialog dialog(parent, QStringLiteral("导出CSV"), suggested, QStringLiteral("CSV File(*.csv)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

QColor PenColour(int pen, int alpha = 255)
{
    const tav::PenRgb &c = tav::kTrendPenRgb[pen];
    return QColor(c.r, c.g, c.b, alpha);
}

QVector<double> ToQVector(const std::vector<double> &v) { return QVector<double>(v.begin(), v.end()); }

QPushButton *Button(int id, const QString &text)
{
    auto *b = Tag(new QPushButton(text), id, text);
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

}  // namespace

void CHistoryDialog::SetExportChooser(ExportChooser chooser) { Chooser() = std::move(chooser); }

CHistoryDialog::CHistoryDialog(const std::string &databasePath, const std::string &exportFolder,
                               tav::SteadyViewerState &selection, QWidget *parent)
    : QDialog(parent), selection_(selection), exportFolder_(exportFolder)
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("历史趋势"));
    setModal(true);
    clock_ = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    BuildLayout();
    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, [this] {
        // Only a range that ends now moves; a zoom or two dates stay put.
        if (view_.ZoomDepth() == 0 && view_.range != tav::kHistoryDatesRange) Query();
    });
    queries_ = std::make_unique<tav::HistoryQueryThread>(databasePath, [this](std::unique_ptr<tav::HistoryAnswer> a) {
        answersPosted_.fetch_add(1);
        QCoreApplication::postEvent(this, new AnswerEvent(std::move(a)));
    });
}

CHistoryDialog::~CHistoryDialog() { queries_.reset(); }

void CHistoryDialog::BuildLayout()
{
    auto *root = new QVBoxLayout(this);

    auto *choices = new QHBoxLayout;
    root->addLayout(choices);
    choices->addWidget(new QLabel(QStringLiteral("传感器")));
    sensorCombo_ = Tag(new QComboBox, kIdSensorCombo, QStringLiteral("传感器"));
    sensorCombo_->setMinimumContentsLength(6);
    choices->addWidget(sensorCombo_);
    connect(sensorCombo_, &QComboBox::activated, this, [this](int index) {
        const int address = sensorCombo_->itemData(index).toInt();
        if (address == view_.address) return;
        view_.address = address;
        Query();
    });
    choices->addWidget(new QLabel(QStringLiteral("范围")));
    rangeCombo_ = Tag(new QComboBox, kIdRangeCombo, QStringLiteral("范围"));
    for (int r = 0; r < tav::kHistoryRangeCount; ++r) rangeCombo_->addItem(QString::fromUtf8(tav::HistoryRangeName(r)));
    rangeCombo_->setCurrentIndex(view_.range);
    choices->addWidget(rangeCombo_);
    connect(rangeCombo_, &QComboBox::activated, this, &CHistoryDialog::ChooseRange);

    choices->addWidget(new QLabel(QStringLiteral("从")));
    fromEdit_ = Tag(new QDateTimeEdit, kIdFromEdit, QStringLiteral("从"));
    choices->addWidget(fromEdit_);
    choices->addWidget(new QLabel(QStringLiteral("到")));
    toEdit_ = Tag(new QDateTimeEdit, kIdToEdit, QStringLiteral("到"));
    choices->addWidget(toEdit_);
    for (QDateTimeEdit *edit : {fromEdit_, toEdit_}) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd hh:mm"));
        edit->setCalendarPopup(true);
        // Dates the operator types stay until they are applied or another
        // range is chosen; the dialog sets them with signals blocked.
        connect(edit, &QDateTimeEdit::dateTimeChanged, this, [this] { datesTyped_ = true; });
    }
    auto *apply = Button(kIdApplyDates, QStringLiteral("查询"));
    choices->addWidget(apply);
    connect(apply, &QPushButton::clicked, this, &CHistoryDialog::ApplyDates);
    zoomBack_ = Button(kIdZoomBack, QStringLiteral("返回"));
    zoomBack_->setEnabled(false);
    choices->addWidget(zoomBack_);
    connect(zoomBack_, &QPushButton::clicked, this, &CHistoryDialog::ZoomBack);
    auto *exportButton = Button(kIdExport, QStringLiteral("导出CSV"));
    choices->addWidget(exportButton);
    connect(exportButton, &QPushButton::clicked, this, &CHistoryDialog::Export);
    choices->addStretch(1);

    auto *middle = new QHBoxLayout;
    root->addLayout(middle, 1);
    plotWidget_ = Tag(new QCustomPlot, kIdPlot, QStringLiteral("历史趋势"));
    plotWidget_->setMinimumSize(480, 300);
    plotWidget_->setMouseTracking(true);
    // A band over a year is one polygon of thousands of corners: drawn
    // without antialiasing it costs a fraction, and looks the same.
    plotWidget_->setNotAntialiasedElements(QCP::aeFills);
    plotWidget_->setPlottingHint(QCP::phFastPolylines, true);
    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    ticker->setDateTimeSpec(Qt::LocalTime);
    plotWidget_->xAxis->setTicker(ticker);
    plotWidget_->yAxis->setRange(0, kRows);
    plotWidget_->yAxis->setLabel(QStringLiteral("数值 × 倍率"));
    plotWidget_->legend->setVisible(true);
    // Only the means get a legend entry; the band edges have none.
    plotWidget_->setAutoAddPlottableToLegend(false);
    plotWidget_->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignRight);
    // A drag selects a time span; the dialog reads it again at the
    // resolution that span deserves instead of stretching the drawn lines.
    plotWidget_->setSelectionRectMode(QCP::srmCustom);
    connect(plotWidget_->selectionRect(), &QCPSelectionRect::accepted, this,
            [this](const QRect &rect, QMouseEvent *) { ZoomDragged(rect); });
    connect(plotWidget_, &QCustomPlot::mouseMove, this, &CHistoryDialog::MouseMoved);
    cursor_ = new QCPItemStraightLine(plotWidget_);
    cursor_->setPen(QPen(Qt::gray, 1, Qt::DashLine));
    cursor_->setVisible(false);
    middle->addWidget(plotWidget_, 1);

    auto *side = new QVBoxLayout;
    middle->addLayout(side, 0);
    boxes_ = new SeriesBoxes(selection_);
    connect(boxes_, &SeriesBoxes::changed, this, &CHistoryDialog::Draw);
    side->addWidget(boxes_);
    side->addWidget(BuildFactorControls());
    side->addStretch(1);
    auto *exit = Button(kIdExit, QStringLiteral("退出"));
    side->addWidget(exit);
    connect(exit, &QPushButton::clicked, this, &QDialog::reject);

    readout_ = Tag(new QLabel, kIdReadout, QStringLiteral("光标"));
    readout_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    root->addWidget(readout_);
    status_ = Tag(new QLabel, kIdStatus, QStringLiteral("状态"));
    root->addWidget(status_);
    auto *abbreviations = new QLabel(QString::fromUtf8(kAbbreviations));
    abbreviations->setWordWrap(true);
    root->addWidget(abbreviations);
    FitToScreen(this, QSize(1400, 820));
}

QWidget *CHistoryDialog::BuildFactorControls()
{
    auto *box = new QWidget;
    auto *grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(new QLabel(QStringLiteral("选择参数")), 0, 0);
    parameterCombo_ = Tag(new QComboBox, kIdParameterCombo, QStringLiteral("选择参数"));
    for (int s = 0; s < tav::kSteadySeriesCount; ++s)
        parameterCombo_->addItem(QString::fromStdString(tav::SteadySeriesNames()[s]));
    grid->addWidget(parameterCombo_, 0, 1);
    connect(parameterCombo_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index >= tav::kSteadySeriesCount) return;
        selection_.parameterIndex = index;
        factorEdit_->setText(QString::fromStdString(tav::FactorText(selection_.trendScale[index], 3)));
    });
    grid->addWidget(new QLabel(QStringLiteral("倍率")), 1, 0);
    factorEdit_ = Tag(new QLineEdit, kIdFactorEdit, QStringLiteral("倍率"));
    grid->addWidget(factorEdit_, 1, 1);
    auto *set = Button(kIdSetFactor, QStringLiteral("倍率设定"));
    grid->addWidget(set, 2, 1);
    connect(set, &QPushButton::clicked, this, &CHistoryDialog::ApplyFactor);
    return box;
}

void CHistoryDialog::OpenDialog()
{
    if (open_) return;
    boxes_->ShowSelection();
    parameterCombo_->setCurrentIndex(selection_.parameterIndex);
    factorEdit_->setText(QString::fromStdString(tav::FactorText(selection_.trendScale[selection_.parameterIndex], 2)));
    open_ = true;
    queries_->RequestSensors();
    Query();
    refresh_.start();
    open();
}

void CHistoryDialog::done(int result)
{
    refresh_.stop();
    open_ = false;
    QDialog::done(result);
}

int64_t CHistoryDialog::Now() const { return clock_(); }

int CHistoryDialog::Pending() const { return queries_->Outstanding() + answersPosted_.load(); }

bool CHistoryDialog::event(QEvent *e)
{
    if (e->type() == AnswerEvent::Kind()) {
        answersPosted_.fetch_sub(1);
        TakeAnswer(std::move(static_cast<AnswerEvent *>(e)->answer));
        return true;
    }
    return QDialog::event(e);
}

void CHistoryDialog::Query()
{
    const tav::HistorySpan span = view_.Shown(Now());
    ShowDates(span);
    if (view_.address == 0) {
        ShowStatus();
        return;
    }
    tav::HistoryQuery query;
    query.request = view_.NextRequest();
    query.address = view_.address;
    query.fromUtcMs = span.fromUtcMs;
    query.toUtcMs = span.toUtcMs;
    query.resolution = tav::HistoryReader::AutoResolution(span.fromUtcMs, span.toUtcMs);
    queries_->RequestSeries(query);
    zoomBack_->setEnabled(view_.ZoomDepth() > 0);
    ShowStatus();
}

void CHistoryDialog::ShowDates(const tav::HistorySpan &span)
{
    // The dates say what a range or a zoom shows, ready to be narrowed;
    // dates the operator has typed are kept.
    if (datesTyped_) return;
    const QSignalBlocker blockFrom(fromEdit_), blockTo(toEdit_);
    fromEdit_->setDateTime(QDateTime::fromMSecsSinceEpoch(span.fromUtcMs));
    toEdit_->setDateTime(QDateTime::fromMSecsSinceEpoch(span.toUtcMs));
}

void CHistoryDialog::TakeAnswer(std::unique_ptr<tav::HistoryAnswer> answer)
{
    switch (answer->kind) {
    case tav::HistoryAnswer::kSensors:
        if (answer->ok)
            FillSensors(answer->sensors);
        else
            error_ = QString::fromStdString(answer->error);
        ShowStatus();
        return;
    case tav::HistoryAnswer::kSeries:
        // An answer to an older choice: the newer one is on its way.
        if (!view_.IsCurrent(answer->query.request)) return;
        if (!answer->ok) {
            error_ = QString::fromStdString(answer->error);
            ShowStatus();
            return;
        }
        error_.clear();
        shownSpan_ = {answer->query.fromUtcMs, answer->query.toUtcMs};
        shown_ = std::make_shared<const tav::HistorySeries>(std::move(answer->series));
        Draw();
        return;
    case tav::HistoryAnswer::kExport:
        ++exportsDone_;
        lastExport_ = QString::fromStdString(answer->exportPath);
        lastExportOk_ = answer->ok;
        if (!answer->ok)
            ShowMessage(this, QString::fromUtf8(kExportFailed) + QString::fromStdString(answer->error));
        ShowStatus();
        return;
    case tav::HistoryAnswer::kAlarmLog:
    case tav::HistoryAnswer::kAlarmExport:
        return;  // the alarm window's; this dialog never asks for them
    }
}

void CHistoryDialog::FillSensors(const std::vector<tav::HistorySensorSummary> &sensors)
{
    sensorCombo_->clear();
    int keep = -1;
    for (const auto &s : sensors) {
        if (s.address == view_.address) keep = sensorCombo_->count();
        // The address first, as the other windows name a sensor; the
        // machine's name after it when station.toml gives one.
        const std::string name = names_ ? names_(s.address) : std::string();
        QString text = QString::number(s.address);
        if (!name.empty()) text += QStringLiteral("  ") + QString::fromStdString(name);
        sensorCombo_->addItem(text, s.address);
    }
    if (keep < 0 && !sensors.empty()) {
        // The remembered sensor has no history (or none was chosen yet):
        // show the first one that has.
        keep = 0;
        view_.address = sensors.front().address;
        sensorCombo_->setCurrentIndex(keep);
        Query();
        return;
    }
    sensorCombo_->setCurrentIndex(keep);
}

void CHistoryDialog::ChooseRange(int index)
{
    datesTyped_ = false;
    if (index == tav::kHistoryDatesRange) {
        ApplyDates();
        return;
    }
    view_.ChooseRange(index);
    Query();
}

void CHistoryDialog::ApplyDates()
{
    if (!view_.SetDates(fromEdit_->dateTime().toMSecsSinceEpoch(), toEdit_->dateTime().toMSecsSinceEpoch())) {
        ShowMessage(this, QString::fromUtf8(kBadDates));
        rangeCombo_->setCurrentIndex(view_.range);
        return;
    }
    rangeCombo_->setCurrentIndex(tav::kHistoryDatesRange);
    datesTyped_ = false;
    Query();
}

void CHistoryDialog::ZoomDragged(const QRect &rect)
{
    const double a = plotWidget_->xAxis->pixelToCoord(rect.left());
    const double b = plotWidget_->xAxis->pixelToCoord(rect.right());
    if (!view_.ZoomTo(int64_t(a * 1000.0), int64_t(b * 1000.0), Now())) return;
    datesTyped_ = false;
    Query();
}

void CHistoryDialog::ZoomBack()
{
    if (!view_.ZoomBack()) return;
    datesTyped_ = false;
    Query();
}

void CHistoryDialog::Draw()
{
    QCustomPlot &p = *plotWidget_;
    p.clearGraphs();
    const int64_t span = shownSpan_.Length();
    static_cast<QCPAxisTickerDateTime *>(p.xAxis->ticker().data())
        ->setDateTimeFormat(QString::fromUtf8(tav::HistoryTimeLabelFormat(span)));
    p.xAxis->setRange(1e-3 * double(shownSpan_.fromUtcMs), 1e-3 * double(shownSpan_.toUtcMs));
    if (!shown_) {
        plot_ = {};
        p.replot();
        ShowStatus();
        return;
    }
    // The plot area's width once it has been laid out, the widget's before.
    const int columns = p.axisRect()->width() > 100 ? p.axisRect()->width() : std::max(1, p.width());
    plot_ = tav::BuildHistoryPlot(*shown_, selection_.trendSelected, selection_.trendScale, shownSpan_, columns);
    const QVector<double> keys = ToQVector(plot_.seconds);
    for (const tav::HistoryPlotSeries &s : plot_.shown) {
        const QString name = QString::fromStdString(tav::SteadySeriesNames()[s.series]);
        if (plot_.aggregated) {
            // The band: the maximum's line filled down to the minimum's.
            QCPGraph *low = p.addGraph();
            low->setName(name + QStringLiteral("_min"));
            low->setData(keys, ToQVector(s.min), true);
            low->setPen(QPen(PenColour(s.pen, 2 * kBandAlpha)));
            QCPGraph *high = p.addGraph();
            high->setName(name + QStringLiteral("_max"));
            high->setData(keys, ToQVector(s.max), true);
            high->setPen(QPen(PenColour(s.pen, 2 * kBandAlpha)));
            high->setBrush(QBrush(PenColour(s.pen, kBandAlpha)));
            high->setChannelFillGraph(low);
        }
        QCPGraph *mean = p.addGraph();
        mean->setName(name);
        mean->setData(keys, ToQVector(s.mean), true);
        mean->setPen(QPen(PenColour(s.pen), 2));
        mean->addToLegend();
    }
    p.replot();
    ShowStatus();
}

void CHistoryDialog::resizeEvent(QResizeEvent *e)
{
    QDialog::resizeEvent(e);
    // The plot's data are thinned to its width: a wider plot needs more.
    if (shown_) Draw();
}

void CHistoryDialog::ShowStatus()
{
    QString text;
    if (view_.address == 0)
        text = error_.isEmpty() ? QStringLiteral("没有历史数据") : error_;
    else if (!error_.isEmpty())
        text = error_;
    else if (shown_) {
        text = QStringLiteral("传感器 %1，%2 至 %3，分辨率 %4，%5 条")
                   .arg(view_.address)
                   .arg(QString::fromStdString(tav::LocalTimeText(shownSpan_.fromUtcMs)),
                        QString::fromStdString(tav::LocalTimeText(shownSpan_.toUtcMs)),
                        QString::fromUtf8(tav::HistoryResolutionName(shown_->resolution)))
                   .arg(qulonglong(shown_->Size()));
        // Entries left out because their stored run does not unpack are named, never hidden.
        if (!shown_->damaged.empty())
            text += QStringLiteral("；%1 个数据块无法解码，已跳过（%2%3）")
                        .arg(qulonglong(shown_->damaged.size()))
                        .arg(QString::fromStdString(tav::HistoryDamageText(shown_->damaged.front())),
                             shown_->damaged.size() > 1 ? QStringLiteral(" 等") : QString());
    }
    if (Pending() > 0) text += QStringLiteral("  读取中…");
    if (!lastExport_.isEmpty() && lastExportOk_) text += QStringLiteral("  已导出: ") + lastExport_;
    status_->setText(text);
}

void CHistoryDialog::Export()
{
    if (!shown_ || shown_->Size() == 0) {
        ShowMessage(this, QString::fromUtf8(kNothingToExport));
        return;
    }
    const QString suggested = QString::fromStdString(exportFolder_) +
                              QStringLiteral("/history_%1_%2.csv")
                                  .arg(view_.address)
                                  .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_hhmmss")));
    const QString path = Chooser() ? Chooser()(this, suggested) : AskForExportFile(this, suggested);
    if (path.isEmpty()) return;
    // The entries on show go to the query thread as they are: the file
    // holds exactly what the plot draws, even if a newer answer arrives.
    queries_->RequestExport(shown_, view_.address, path.toStdString(), false);
    ShowStatus();
}

void CHistoryDialog::MouseMoved(QMouseEvent *event)
{
    if (!shown_) return;
    const double seconds = plotWidget_->xAxis->pixelToCoord(event->position().x());
    const int entry = tav::NearestEntry(*shown_, int64_t(seconds * 1000.0));
    if (entry < 0) {
        readout_->clear();
        cursor_->setVisible(false);
        plotWidget_->replot(QCustomPlot::rpQueuedReplot);
        return;
    }
    readout_->setText(QString::fromStdString(tav::HistoryReadout(*shown_, entry, selection_.trendSelected)));
    const double x = 1e-3 * double(shown_->utcMs[entry]);
    cursor_->point1->setCoords(x, 0);
    cursor_->point2->setCoords(x, kRows);
    cursor_->setVisible(true);
    plotWidget_->replot(QCustomPlot::rpQueuedReplot);
}

void CHistoryDialog::ApplyFactor()
{
    const int series = selection_.parameterIndex;
    const double value = tav::ParseFactor(factorEdit_->text().toStdString());
    if (!selection_.SetScale(series, value)) {
        ShowMessage(this, QString::fromUtf8(kFactorRange));
        factorEdit_->setText(QString::fromStdString(tav::FactorText(selection_.trendScale[series], 2)));
        return;
    }
    Draw();
}
