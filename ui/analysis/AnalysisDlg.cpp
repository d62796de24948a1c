#include "ui/analysis/AnalysisDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>

#include "core/processing/Conditioner.h"
#include "core/processing/LiveAmplitudes.h"
#include "ui/analysis/AnalysisPlot.h"
#include "ui/common/Controls.h"
#include "ui/common/ScreenFit.h"

using tav::ui::Tag;
namespace an = tav::analysis;

namespace {

constexpr double kLengths[4] = {0.5, 1, 2, 4};
constexpr int kPeakRows = 10;
constexpr double kEnvelopeMaxHz[5] = {100, 200, 500, 1000, 2000};
constexpr int kDefaultEnvelopeMax = 2;  // 500 Hz
constexpr int kTypedBand = 3;           // the band list's "自定义"

QComboBox *List(int id, const QString &name, const QStringList &items, int current = 0)
{
    auto *list = Tag(new QComboBox, id, name);
    list->addItems(items);
    list->setCurrentIndex(current);
    return list;
}

QLabel *Caption(const QString &text) { return new QLabel(text); }

}  // namespace

CAnalysisDlg::CAnalysisDlg(tav::ConnectionTable &table, tav::LivePlots &plots, QWidget *parent)
    : QDialog(parent), table_(table), plots_(plots), worker_(table, plots)
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("频谱分析"));
    setAccessibleName(QStringLiteral("频谱分析"));
    setSizeGripEnabled(true);
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    BuildLayout();
    connect(&poll_, &QTimer::timeout, this, &CAnalysisDlg::Poll);
    tav::ui::FitToScreen(this, QSize(1180, 640));
}

CAnalysisDlg::~CAnalysisDlg() { worker_.Stop(); }

void CAnalysisDlg::BuildLayout()
{
    auto *root = new QVBoxLayout(this);
    // First row: how and what is analysed.
    auto *what = new QHBoxLayout;
    mode_ = List(kModeList, QStringLiteral("模式"),
                 {QStringLiteral("频谱"), QStringLiteral("包络谱"), QStringLiteral("瀑布图")});
    what->addWidget(Caption(QStringLiteral("模式")));
    what->addWidget(mode_);
    axis_ = List(kAxisList, QStringLiteral("轴"), {QStringLiteral("X轴"), QStringLiteral("Y轴"), QStringLiteral("Z轴")});
    quantity_ = List(kQuantityList, QStringLiteral("物理量"),
                     {QStringLiteral("加速度(g)"), QStringLiteral("速度(mm/s)"), QStringLiteral("位移(mm)")});
    length_ = List(kLengthList, QStringLiteral("长度"),
                   {QStringLiteral("0.5 s"), QStringLiteral("1 s"), QStringLiteral("2 s"), QStringLiteral("4 s")});
    lineSpacing_ = Tag(new QLabel, kLineSpacing, QStringLiteral("线间距"));
    // Hann by default: the rectangular window's side lobes hide small lines
    // next to large ones.
    window_ = List(kWindowList, QStringLiteral("窗函数"),
                   {QStringLiteral("矩形窗"), QStringLiteral("汉宁窗"), QStringLiteral("平顶窗")},
                   static_cast<int>(an::WindowKind::Hann));
    averaging_ = List(kAveragingList, QStringLiteral("平均"),
                      {QStringLiteral("无"), QStringLiteral("线性"), QStringLiteral("指数"), QStringLiteral("峰值保持")});
    averages_ = Tag(new QSpinBox, kAverageCount, QStringLiteral("平均次数"));
    averages_->setRange(an::kMinAverages, an::kMaxAverages);
    averages_->setValue(8);
    auto *reset = Tag(new QPushButton(QStringLiteral("重置平均")), kResetButton, QStringLiteral("重置平均"));
    // The spectrum's and the envelope's options; the waterfall has its own
    // on its page, so this part of the row is hidden in its mode.
    spectrumRow_ = new QWidget;
    spectrumRow_->setObjectName(QStringLiteral("spectrumRow"));
    auto *options = new QHBoxLayout(spectrumRow_);
    options->setContentsMargins(0, 0, 0, 0);
    for (auto [caption, widget] : std::initializer_list<std::pair<const char *, QWidget *>>{
             {"轴", axis_}, {"物理量", quantity_}, {"长度", length_}, {nullptr, lineSpacing_}, {"窗函数", window_},
             {"平均", averaging_}, {"次数", averages_}, {nullptr, reset}}) {
        if (caption)
            options->addWidget(Caption(QString::fromUtf8(caption)));
        options->addWidget(widget);
    }
    what->addWidget(spectrumRow_);
    what->addStretch(1);
    root->addLayout(what);

    // Second row: how it is shown.
    auto *how = new QHBoxLayout;
    amplitude_ = List(kAmplitudeList, QStringLiteral("幅值"), {QStringLiteral("线性"), QStringLiteral("dB")});
    auto *full = Tag(new QPushButton(QStringLiteral("全频段")), kFullSpanButton, QStringLiteral("全频段"));
    speed_ = List(kSpeedList, QStringLiteral("转速"), {QStringLiteral("实测转速"), QStringLiteral("额定转速")});
    harmonics_ = Tag(new QCheckBox(QStringLiteral("谐波标记")), kHarmonicBox, QStringLiteral("谐波标记"));
    harmonics_->setChecked(true);
    sidebands_ = Tag(new QCheckBox(QStringLiteral("边带")), kSidebandBox, QStringLiteral("边带"));
    sidebandSpacing_ = Tag(new QDoubleSpinBox, kSidebandSpacing, QStringLiteral("边带间隔(Hz)"));
    sidebandSpacing_->setRange(0.1, 1000);
    sidebandSpacing_->setDecimals(2);
    sidebandSpacing_->setValue(1.0);
    how->addWidget(Caption(QStringLiteral("幅值")));
    how->addWidget(amplitude_);
    how->addWidget(full);
    how->addWidget(Caption(QStringLiteral("转速")));
    how->addWidget(speed_);
    how->addWidget(harmonics_);
    how->addWidget(sidebands_);
    how->addWidget(Caption(QStringLiteral("间隔(Hz)")));
    how->addWidget(sidebandSpacing_);
    how->addStretch(1);

    // The spectrum's and the envelope's page: the rows below the first, the
    // plot and the peak list, shared by both modes.
    pages_ = Tag(new QStackedWidget, kModePages, QStringLiteral("分析页"));
    auto *linesPage = new QWidget;
    linesPage->setObjectName(QStringLiteral("linesPage"));
    auto *page = new QVBoxLayout(linesPage);
    page->setContentsMargins(0, 0, 0, 0);
    page->addLayout(how);

    // The envelope's own row, shown in its mode.
    envelopeRow_ = new QWidget;
    auto *envelope = new QHBoxLayout(envelopeRow_);
    envelope->setContentsMargins(0, 0, 0, 0);
    band_ = List(kEnvelopeBandList, QStringLiteral("频带"),
                 {QStringLiteral("500–2000 Hz"), QStringLiteral("2–5 kHz"), QStringLiteral("5–10 kHz"),
                  QStringLiteral("自定义")},
                 an::kDefaultEnvelopeBand);
    bandLow_ = Tag(new QDoubleSpinBox, kEnvelopeLow, QStringLiteral("频带下限(Hz)"));
    bandHigh_ = Tag(new QDoubleSpinBox, kEnvelopeHigh, QStringLiteral("频带上限(Hz)"));
    for (QDoubleSpinBox *box : {bandLow_, bandHigh_}) {
        box->setRange(10, 20000);
        box->setDecimals(0);
        box->setSingleStep(100);
        box->setKeyboardTracking(false);  // a typed edge counts once complete, not per digit
    }
    bandLow_->setValue(an::kEnvelopeBands[an::kDefaultEnvelopeBand].lowHz);
    bandHigh_->setValue(an::kEnvelopeBands[an::kDefaultEnvelopeBand].highHz);
    QStringList maxima;
    for (double hz : kEnvelopeMaxHz)
        maxima << QStringLiteral("%1 Hz").arg(hz);
    envelopeMax_ = List(kEnvelopeMaxList, QStringLiteral("最高频率"), maxima, kDefaultEnvelopeMax);
    envelope->addWidget(Caption(QStringLiteral("频带")));
    envelope->addWidget(band_);
    envelope->addWidget(Caption(QStringLiteral("下限(Hz)")));
    envelope->addWidget(bandLow_);
    envelope->addWidget(Caption(QStringLiteral("上限(Hz)")));
    envelope->addWidget(bandHigh_);
    envelope->addWidget(Caption(QStringLiteral("最高频率")));
    envelope->addWidget(envelopeMax_);
    envelope->addStretch(1);
    envelopeRow_->setVisible(false);
    page->addWidget(envelopeRow_);

    auto *body = new QHBoxLayout;
    view_ = Tag(new tav::ui::AnalysisPlot, kPlot, QStringLiteral("频谱"));
    body->addWidget(view_, 1);
    peaks_ = Tag(new QTableWidget(kPeakRows, 3), kPeakTable, QStringLiteral("峰值列表"));
    peaks_->setHorizontalHeaderLabels({QStringLiteral("频率(Hz)"), QStringLiteral("幅值"), QStringLiteral("阶次")});
    peaks_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    peaks_->verticalHeader()->setVisible(false);
    peaks_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    peaks_->setMinimumWidth(280);
    peaks_->setMaximumWidth(340);
    body->addWidget(peaks_);
    page->addLayout(body, 1);

    cursor_ = Tag(new QLabel, kCursorLabel, QStringLiteral("光标"));
    status_ = Tag(new QLabel, kStatusLabel, QStringLiteral("状态"));
    auto *foot = new QHBoxLayout;
    foot->addWidget(cursor_, 1);
    foot->addWidget(status_);
    page->addLayout(foot);
    pages_->addWidget(linesPage);
    // "瀑布图" has a page of its own, put in place by SetWaterfallPage.
    waterfall_ = new QWidget;
    waterfall_->setObjectName(QStringLiteral("waterfallPage"));
    pages_->addWidget(waterfall_);
    root->addWidget(pages_, 1);

    // Every option change goes to the worker at once; the result follows.
    for (QComboBox *list : {axis_, quantity_, length_, window_, averaging_, speed_})
        connect(list, &QComboBox::currentIndexChanged, this, &CAnalysisDlg::SendRequest);
    connect(averages_, &QSpinBox::valueChanged, this, &CAnalysisDlg::SendRequest);
    connect(mode_, &QComboBox::currentIndexChanged, this, &CAnalysisDlg::ModeChanged);
    connect(band_, &QComboBox::currentIndexChanged, this, &CAnalysisDlg::BandChosen);
    connect(bandLow_, &QDoubleSpinBox::valueChanged, this, &CAnalysisDlg::BandTyped);
    connect(bandHigh_, &QDoubleSpinBox::valueChanged, this, &CAnalysisDlg::BandTyped);
    connect(envelopeMax_, &QComboBox::currentIndexChanged, this, [this] {
        view_->SetSpanLimit(EnvelopeMaxHz());
        view_->FullSpan();  // sends the request
    });
    connect(reset, &QPushButton::clicked, this, [this] { worker_.ResetAverage(); });
    connect(amplitude_, &QComboBox::currentIndexChanged, this, [this](int i) {
        view_->SetDecibels(i == 1);
        ShowPeaks();
    });
    connect(full, &QPushButton::clicked, view_, &tav::ui::AnalysisPlot::FullSpan);
    connect(view_, &tav::ui::AnalysisPlot::spanChanged, this, &CAnalysisDlg::SendRequest);
    connect(view_, &tav::ui::AnalysisPlot::cursorsChanged, this, [this] { cursor_->setText(view_->CursorText()); });
    auto markers = [this] {
        view_->SetHarmonics(harmonics_->isChecked());
        view_->SetSidebands(sidebands_->isChecked(), sidebandSpacing_->value());
    };
    connect(harmonics_, &QCheckBox::toggled, this, markers);
    connect(sidebands_, &QCheckBox::toggled, this, markers);
    connect(sidebandSpacing_, &QDoubleSpinBox::valueChanged, this, markers);
}

void CAnalysisDlg::OpenOn(int axis)
{
    // The main window's spectrum of this axis: its quantity, and the length
    // its rate gives it (half a second from 20 kHz, else a second).
    axis = std::clamp(axis, 0, 2);
    const QSignalBlocker blockAxis(axis_), blockQuantity(quantity_), blockLength(length_);
    axis_->setCurrentIndex(axis);
    quantity_->setCurrentIndex(std::clamp(plots_.time[axis].quantity.load(), 0, 2));
    if (!isVisible()) {
        const int slot = table_.selectedConnection.load();
        // Without a sensor shown, as for one at the station's start rate.
        const float fs = slot >= 0 && slot < tav::kSlotCount ? table_[slot].samplingFrequency.load()
                                                              : tav::kStartSamplingFrequency;
        const double share = tav::SpectrumCadenceFor(std::isfinite(fs) ? static_cast<long>(fs) : 0).share;
        length_->setCurrentIndex(share < 1.0 ? 0 : 1);
    }
    SendRequest();
    show();
    raise();
    activateWindow();
    worker_.Start();
    poll_.start(kPollMs);
}

void CAnalysisDlg::hideEvent(QHideEvent *event)
{
    // Nothing is computed or captured for a closed window.
    poll_.stop();
    worker_.Stop();
    QDialog::hideEvent(event);
}

void CAnalysisDlg::SendRequest()
{
    an::Request r;
    const bool envelope = Envelope();
    r.mode = envelope ? an::Mode::Envelope : an::Mode::Spectrum;
    r.axis = axis_->currentIndex();
    r.quantity = envelope ? 0 : quantity_->currentIndex();
    r.spectrum.seconds = kLengths[std::clamp(length_->currentIndex(), 0, 3)];
    r.spectrum.window = static_cast<an::WindowKind>(std::clamp(window_->currentIndex(), 0, 2));
    r.spectrum.averaging = static_cast<an::Averaging>(std::clamp(averaging_->currentIndex(), 0, 3));
    r.spectrum.averages = averages_->value();
    r.ratedSpeed = speed_->currentIndex() == 1;
    r.fromHz = view_->FromHz();
    r.toHz = view_->ToHz();
    if (envelope)
        r.spectrum.spanHz = EnvelopeMaxHz();
    r.band = {bandLow_->value(), bandHigh_->value()};
    averages_->setEnabled(r.spectrum.averaging == an::Averaging::Linear ||
                          r.spectrum.averaging == an::Averaging::Exponential);
    worker_.SetRequest(r);
}

void CAnalysisDlg::Poll()
{
    if (!worker_.TakeResult(result_, result_.sequence))
        return;
    view_->SetResult(result_);
    UpdateFaultLines();
    cursor_->setText(view_->CursorText());
    ShowPeaks();
    ShowStatus();
}

void CAnalysisDlg::ShowPeaks()
{
    const bool db = amplitude_->currentIndex() == 1;
    const char *unit = result_.request.quantity == 1 ? "mm/s" : result_.request.quantity == 2 ? "mm" : "g";
    peaks_->setHorizontalHeaderItem(1, new QTableWidgetItem(
        QStringLiteral("幅值") + (db ? QStringLiteral("(dB)") : QStringLiteral("(") + QString::fromUtf8(unit) + ")")));
    for (int row = 0; row < kPeakRows; ++row) {
        QString cells[3];
        if (row < static_cast<int>(result_.peaks.size())) {
            const an::Peak &p = result_.peaks[row];
            cells[0] = QString::number(p.frequency, 'f', 2);
            cells[1] = db ? QString::number(an::ToDecibels(p.amplitude), 'f', 1) : QString::number(p.amplitude, 'g', 4);
            cells[2] = result_.rpm > 0 ? QString::number(an::Order(p.frequency, result_.rpm), 'f', 2) : QString();
            // In the envelope the defect line a peak stands on says more
            // than its order, when no other line could be it as well.
            const QString fault = view_->FaultNameAt(p.frequency);
            if (!fault.isEmpty())
                cells[2] = fault;
        }
        for (int c = 0; c < 3; ++c) {
            QTableWidgetItem *item = peaks_->item(row, c);
            if (!item) {
                item = new QTableWidgetItem;
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                peaks_->setItem(row, c, item);
            }
            item->setText(cells[c]);
        }
    }
}

void CAnalysisDlg::ShowStatus()
{
    const an::Layout &l = result_.layout;
    lineSpacing_->setText(l.df > 0 ? QStringLiteral("Δf = %1 Hz").arg(l.df, 0, 'f', 3) : QString());
    QString text;
    const an::EnvelopeBand band = result_.request.band;
    const bool envelope = result_.request.mode == an::Mode::Envelope;
    if (result_.slot < 0) {
        text = QStringLiteral("未选择传感器");
    } else if (envelope && result_.fs > 0 && !(band.lowHz < band.highHz && band.lowHz < result_.fs / 2)) {
        text = QStringLiteral("频带下限应低于上限和采样频率的一半");
    } else if (!result_.ready) {
        text = QStringLiteral("采集数据 %1 / %2 s")
                   .arg(std::min(result_.collectedSeconds, result_.request.spectrum.seconds), 0, 'f', 1)
                   .arg(result_.request.spectrum.seconds, 0, 'f', 1);
    } else {
        text = QStringLiteral("平均 %1").arg(result_.averaged);
        if (result_.request.spectrum.averaging == an::Averaging::Linear)
            text += QStringLiteral(" / %1").arg(result_.request.spectrum.averages);
    }
    text += QStringLiteral("    转速 %1%2 rpm")
                .arg(result_.rpm, 0, 'f', 0)
                .arg(result_.rpm > 0 && result_.rpmGuessed ? QStringLiteral("?") : QString());
    status_->setText(text);
}

bool CAnalysisDlg::Envelope() const { return mode_->currentIndex() == kEnvelopeMode; }

double CAnalysisDlg::EnvelopeMaxHz() const
{
    return kEnvelopeMaxHz[std::clamp(envelopeMax_->currentIndex(), 0, 4)];
}

void CAnalysisDlg::ModeChanged()
{
    const int mode = mode_->currentIndex();
    pages_->setCurrentIndex(mode == kWaterfallMode ? 1 : 0);
    spectrumRow_->setVisible(mode != kWaterfallMode);
    const bool envelope = mode == kEnvelopeMode;
    envelopeRow_->setVisible(envelope);
    // The envelope is always of the acceleration.
    quantity_->setEnabled(!envelope);
    faults_.clear();
    view_->SetFaultLines(faults_, {});
    view_->SetSpanLimit(envelope ? EnvelopeMaxHz() : an::kSpanHz);
    view_->FullSpan();  // sends the request
    ShowPeaks();
}

void CAnalysisDlg::BandChosen()
{
    const int i = band_->currentIndex();
    if (i >= 0 && i < kTypedBand) {
        const QSignalBlocker blockLow(bandLow_), blockHigh(bandHigh_);
        bandLow_->setValue(an::kEnvelopeBands[i].lowHz);
        bandHigh_->setValue(an::kEnvelopeBands[i].highHz);
    }
    SendRequest();
}

void CAnalysisDlg::BandTyped()
{
    // A typed band that is one of the presets shows as that preset.
    int chosen = kTypedBand;
    for (int i = 0; i < kTypedBand; ++i)
        if (an::kEnvelopeBands[i] == an::EnvelopeBand{bandLow_->value(), bandHigh_->value()})
            chosen = i;
    const QSignalBlocker block(band_);
    band_->setCurrentIndex(chosen);
    SendRequest();
}

void CAnalysisDlg::UpdateFaultLines()
{
    const std::vector<tav::BearingGeometry> *bearings = nullptr;
    if (result_.request.mode == an::Mode::Envelope && machines_ && result_.slot >= 0 && result_.slot < tav::kSlotCount) {
        const auto address = static_cast<int32_t>(table_[result_.slot].sensorAddress.load(std::memory_order_relaxed));
        const auto it = machines_->find(address);
        if (it != machines_->end() && !it->second.bearings.empty())
            bearings = &it->second.bearings;
    }
    if (!bearings) {
        faults_.clear();
        bearingPrefixes_.clear();
        view_->SetFaultLines(faults_, bearingPrefixes_);
        return;
    }
    an::FaultLinesFor(*bearings, result_.rpm, result_.request.spectrum.spanHz, faults_);
    // With more than one bearing each line says whose it is.
    bearingPrefixes_.clear();
    if (bearings->size() > 1) {
        for (size_t b = 0; b < bearings->size(); ++b) {
            const std::string &name = (*bearings)[b].name;
            bearingPrefixes_ << (name.empty() ? QStringLiteral("轴承%1").arg(b + 1) : QString::fromStdString(name)) +
                                    QStringLiteral(" ");
        }
    }
    view_->SetFaultLines(faults_, bearingPrefixes_);
}

void CAnalysisDlg::SetWaterfallPage(QWidget *page)
{
    if (!page || page == waterfall_)
        return;
    const bool shown = pages_->currentWidget() == waterfall_;
    pages_->insertWidget(1, page);
    pages_->removeWidget(waterfall_);
    delete waterfall_;
    waterfall_ = page;
    if (shown)
        pages_->setCurrentWidget(page);
}
