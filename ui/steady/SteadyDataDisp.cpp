#include "ui/steady/SteadyDataDisp.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSlider>
#include <QTabBar>
#include <QVBoxLayout>
#include <algorithm>

#include "core/alarm/SensorMarks.h"
#include "core/steady/SteadyTable.h"
#include "ui/common/ConnectionLine.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/MyListCtr.h"
#include "ui/common/PlotFrame.h"
#include "ui/common/ScreenFit.h"
#include "ui/common/SeriesBoxes.h"

using namespace tav::ui;

namespace {

const char *const kPageNames[tav::kViewerPageCount] = {"连接1~20", "连接21~40", "连接41~60", "连接61~80",
                                                       "连接81~100"};
const char *const kAbbreviations =
    "X-X轴 Y-Y轴 Z-Z轴 AR-加速度RMS, AP-加速度峰值 ,AK 加速度峭度系数, VR速度RMS, VP速度峰值, DR位移RMS, "
    "DP 位移峰峰值";
const char *const kFactorRange = "倍率设置范围为0.001~1000.0";

constexpr int kTrendRightMargin = 124;  // room for the legend
constexpr int kTrendYScale = 7;         // one unit per division

QString Utf8(const std::string &s) { return QString::fromStdString(s); }

QPushButton *Button(int id, const QString &text)
{
    auto *b = Tag(new QPushButton(text), id, text);
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

}  // namespace

CSteadyDataDisp::CSteadyDataDisp(const tav::SteadyTable &table, QWidget *parent) : QDialog(parent), table_(table)
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("稳态数据----60分钟记录"));
    setModal(true);
    // The seventh plot: a trend of the plotted record, room on the right for
    // its legend.
    trend_.rightMargin = kTrendRightMargin;
    trend_.yScaleIndex = kTrendYScale;
    trend_.running = 1;
    trend_.quantity = 0;
    trend_.trendSelected = state_.trendSelected;
    trend_.trendScale = state_.trendScale;
    trend_.trendName = tav::SteadySeriesNames();
    for (int s = 0; s < tav::kSteadySeriesCount; ++s) traces_[s] = trend_.trendTraces[s].data();
    BuildLayout();
    timer_.setInterval(kTimerMs);
    connect(&timer_, &QTimer::timeout, this, &CSteadyDataDisp::Tick);
}

CSteadyDataDisp::~CSteadyDataDisp() = default;

void CSteadyDataDisp::BuildLayout()
{
    auto *root = new QVBoxLayout(this);

    tabs_ = Tag(new QTabBar, kIdViewerTabs, QStringLiteral("稳态数据"));
    for (const char *name : kPageNames) tabs_->addTab(QString::fromUtf8(name));
    tabs_->setExpanding(false);
    root->addWidget(tabs_);
    connect(tabs_, &QTabBar::currentChanged, this, [this](int) { InsertEmptyRows(); });

    list_ = Tag(new CMyListCtr, kIdViewerList, QStringLiteral("稳态数据列表"));
    QStringList titles{QStringLiteral("设备地址")};
    QList<int> widths{90};
    for (int s = 0; s < tav::kSteadySeriesCount; ++s) {
        titles << Utf8(tav::SteadySeriesNames()[s]);
        widths << 60;
    }
    list_->SetColumns(titles, widths);
    list_->setMinimumHeight(150);
    root->addWidget(list_, 2);

    auto *lower = new QHBoxLayout;
    root->addLayout(lower, 3);
    auto *frame = new tav::PlotFrame(kIdTrendFrame, nullptr, QStringLiteral("趋势"));
    frame->setMinimumSize(480, 260);
    frame->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    trend_.Bind(frame);
    lower->addWidget(frame, 1);

    auto *side = new QVBoxLayout;
    lower->addLayout(side, 0);
    // The series boxes and their rules, shared with the history trend.
    boxes_ = new SeriesBoxes(state_);
    connect(boxes_, &SeriesBoxes::changed, this, &CSteadyDataDisp::RedrawTrend);
    side->addWidget(boxes_);

    auto *choices = new QGridLayout;
    choices->addWidget(new QLabel(QStringLiteral("选择地址")), 0, 0);
    addressCombo_ = Tag(new ConnectionCombo, kIdAddressCombo, QStringLiteral("选择地址"));
    choices->addWidget(addressCombo_, 0, 1);
    connect(addressCombo_, &ConnectionCombo::aboutToShowPopup, this, &CSteadyDataDisp::FillAddresses);
    connect(addressCombo_, &QComboBox::activated, this, [this](int index) {
        // No selection keeps the record plotted so far.
        if (index >= 0 && index < tav::kSteadyRecordCount) state_.recordIndex = index;
    });

    choices->addWidget(new QLabel(QStringLiteral("选择参数")), 1, 0);
    parameterCombo_ = Tag(new QComboBox, kIdParameterCombo, QStringLiteral("选择参数"));
    choices->addWidget(parameterCombo_, 1, 1);
    connect(parameterCombo_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index >= tav::kSteadySeriesCount) return;
        state_.parameterIndex = index;
        factorEdit_->setText(Utf8(tav::FactorText(state_.trendScale[index], 3)));
    });

    choices->addWidget(new QLabel(QStringLiteral("倍率")), 2, 0);
    factorEdit_ = Tag(new QLineEdit, kIdFactorEdit, QStringLiteral("倍率"));
    choices->addWidget(factorEdit_, 2, 1);
    auto *setFactor = Button(kIdSetFactor, QStringLiteral("倍率设定"));
    choices->addWidget(setFactor, 3, 1);
    connect(setFactor, &QPushButton::clicked, this, &CSteadyDataDisp::ApplyFactor);

    choices->addWidget(new QLabel(QStringLiteral("时间倍率")), 4, 0);
    timeCombo_ = Tag(new QComboBox, kIdTimeCombo, QStringLiteral("时间倍率"));
    choices->addWidget(timeCombo_, 4, 1);
    connect(timeCombo_, &QComboBox::activated, this, &CSteadyDataDisp::ChooseTimeWindow);

    slider_ = Tag(new QSlider(Qt::Horizontal), kIdTrendSlider, QStringLiteral("时间滑块"));
    slider_->setRange(0, 100);
    choices->addWidget(slider_, 5, 0, 1, 2);
    // Every move counts, not only the release: keyboard and wheel moves
    // reach the trend as well.
    connect(slider_, &QSlider::valueChanged, this, [this](int value) {
        trend_.scrollPercent = value;
        RedrawTrend();
    });
    // The plotted record's machine, from station.toml.
    nameLabel_ = new QLabel;
    nameLabel_->setObjectName(QStringLiteral("machineName"));
    nameLabel_->setWordWrap(true);
    choices->addWidget(nameLabel_, 6, 0, 1, 2);
    side->addLayout(choices);
    side->addStretch(1);

    auto *exit = Button(kIdViewerExit, QStringLiteral("退出"));
    side->addWidget(exit);
    connect(exit, &QPushButton::clicked, this, &QDialog::reject);

    auto *abbreviations = new QLabel(QString::fromUtf8(kAbbreviations));
    abbreviations->setWordWrap(true);
    root->addWidget(abbreviations);
    FitToScreen(this, QSize(1400, 860));
}

void CSteadyDataDisp::OpenDialog()
{
    if (open_) return;
    // 1. The tab control starts at its first page at every opening.
    {
        const QSignalBlocker block(tabs_);
        tabs_->setCurrentIndex(0);
    }
    // 2. The trend holds the hour of one record.
    trend_.pointCount = tav::kSteadyHistoryLength;
    // 4. Check boxes from the program-wide selection.
    ShowSelection();
    // 5. Rows of the first page until the first tick fills them.
    InsertEmptyRows();
    // 6. Addresses of the 40 records; the remembered one selected.
    FillAddresses();
    addressCombo_->setCurrentIndex(state_.recordIndex);
    // 7. Factor of the remembered parameter.
    factorEdit_->setText(Utf8(tav::FactorText(state_.trendScale[state_.parameterIndex], 2)));
    // 8. Parameter and time combos; the time window applied as its handler does.
    parameterCombo_->clear();
    for (int s = 0; s < tav::kSteadySeriesCount; ++s) parameterCombo_->addItem(Utf8(tav::SteadySeriesNames()[s]));
    timeCombo_->clear();
    for (int t = 0; t < tav::kTimeWindowCount; ++t) timeCombo_->addItem(QString::fromUtf8(tav::TimeWindowName(t)));
    state_.redrawDivisor = tav::RedrawDivisorOf(0);
    timeCombo_->setCurrentIndex(state_.timeWindow);
    parameterCombo_->setCurrentIndex(state_.parameterIndex);
    ChooseTimeWindow(timeCombo_->currentIndex());
    trend_.scrollPercent = slider_->value();
    // The trend shows the record's hour from the start instead of what the
    // last opening left until the first due redraw.
    tav::CopyTrend(table_.Record(state_.recordIndex), traces_);
    // 9. The refresh timer.
    open_ = true;
    timer_.start();
    open();
    RedrawTrend();
}

void CSteadyDataDisp::done(int result)
{
    timer_.stop();
    open_ = false;
    QDialog::done(result);
}

void CSteadyDataDisp::ShowSelection() { boxes_->ShowSelection(); }

void CSteadyDataDisp::InsertEmptyRows()
{
    const QString empty = QString::asprintf("%.3d    N", 0);
    list_->BeginRefresh();
    list_->SetRowCount(tav::kViewerRowsPerPage);
    for (int r = 0; r < tav::kViewerRowsPerPage; ++r) {
        list_->SetCellText(r, 0, empty);
        for (int c = 1; c < list_->columnCount(); ++c) list_->SetCellText(r, c, QString());
    }
    list_->EndRefresh();
}

void CSteadyDataDisp::FillAddresses()
{
    const int keep = addressCombo_->currentIndex();
    addressCombo_->clear();
    for (int i = 0; i < tav::kSteadyRecordCount; ++i) {
        const int32_t address = table_.Record(i).address;
        addressCombo_->addItem(QString::asprintf("%d", int(address)));
        const std::string name = marks_ && address != 0 ? marks_->Name(address) : std::string();
        if (!name.empty()) addressCombo_->setItemData(i, Utf8(name), Qt::ToolTipRole);
    }
    addressCombo_->setCurrentIndex(keep);
}

void CSteadyDataDisp::Tick()
{
    // Forty rows of text a tick are the viewer's dearest part; nobody reads
    // them in a minimised window.
    if (isMinimized()) {
        tickMissed_ = true;
        return;
    }
    // List: the records of the current page; pages past the 40 records stay empty.
    const int page = tabs_->currentIndex() < 0 ? 0 : tabs_->currentIndex();
    const int first = page * tav::kViewerRowsPerPage;
    const int rows = std::clamp(tav::kSteadyRecordCount - first, 0, tav::kViewerRowsPerPage);
    list_->BeginRefresh();
    list_->SetRowCount(rows);
    for (int r = 0; r < rows; ++r) {
        const tav::SteadyRecord &record = table_.Record(first + r);
        list_->SetCellText(r, 0, Utf8(tav::AddressCell(record)));
        for (int s = 0; s < tav::kSteadySeriesCount; ++s) list_->SetCellText(r, 1 + s, Utf8(tav::ValueCell(record, s)));
        MarkRow(r, record);
    }
    list_->EndRefresh();

    // Trend: the plotted record's 22 rings, oldest first.
    const tav::SteadyRecord &plotted = table_.Record(state_.recordIndex);
    tav::CopyTrend(plotted, traces_);
    const QString name = marks_ && plotted.address != 0 ? Utf8(marks_->Name(plotted.address)) : QString();
    if (nameLabel_->text() != name) nameLabel_->setText(name);
    if (state_.CountRedraw()) RedrawTrend();
}

void CSteadyDataDisp::MarkRow(int row, const tav::SteadyRecord &record)
{
    // A record never bound names no sensor; one whose sensor left keeps its
    // address, and its offline alarm colours it.
    if (!marks_ || (record.address == 0 && !record.inUse)) {
        list_->SetRowMark(row, -1, QString());
        return;
    }
    const std::string &name = marks_->Name(record.address);
    QString tip = QStringLiteral("地址:%1").arg(record.address);
    if (!name.empty()) tip += QStringLiteral("  ") + Utf8(name);
    list_->SetRowMark(row, tav::MarkColour(marks_->SensorMark(record.address)), tip);
}

void CSteadyDataDisp::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || isMinimized() || !tickMissed_)
        return;
    tickMissed_ = false;
    Tick();
    RedrawTrend();
}

void CSteadyDataDisp::RedrawTrend() { trend_.Redraw(); }

void CSteadyDataDisp::ApplyFactor()
{
    const int series = state_.parameterIndex;
    const double value = tav::ParseFactor(factorEdit_->text().toStdString());
    if (!state_.SetScale(series, value)) {
        ShowMessage(this, QString::fromUtf8(kFactorRange));
        factorEdit_->setText(Utf8(tav::FactorText(state_.trendScale[series], 2)));
        return;
    }
    RedrawTrend();
}

void CSteadyDataDisp::ChooseTimeWindow(int index)
{
    if (index < 0 || index >= tav::kTimeWindowCount) return;
    state_.ChooseTimeWindow(index);
    trend_.xScaleIndex = index;
    RedrawTrend();
}
