#include "analysis/AnalysisDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>

#include "analysis/AnalysisPlot.h"
#include "app/Controls.h"
#include "dsp/Conditioner.h"
#include "dsp/LiveAmplitudes.h"

using tav::ui::Tag;
namespace an = tav::analysis;

namespace {

constexpr double kLengths[4] = {0.5, 1, 2, 4};
constexpr int kPeakRows = 10;

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
    resize(1180, 640);
}

CAnalysisDlg::~CAnalysisDlg() { worker_.Stop(); }

void CAnalysisDlg::BuildLayout()
{
    auto *root = new QVBoxLayout(this);
    // First row: what is analysed. (A selector of the analysis mode goes
    // at the start of this row when there is more than the spectrum.)
    auto *what = new QHBoxLayout;
    axis_ = List(kAxisList, QStringLiteral("轴"), {QStringLiteral("X轴"), QStringLiteral("Y轴"), QStringLiteral("Z轴")});
    quantity_ = List(kQuantityList, QStringLiteral("物理量"),
                     {QStringLiteral("加速度(g)"), QStringLiteral("速度(mm/s)"), QStringLiteral("位移(mm)")});
    length_ = List(kLengthList, QStringLiteral("长度"),
                   {QStringLiteral("0.5 s"), QStringLiteral("1 s"), QStringLiteral("2 s"), QStringLiteral("4 s")});
    lineSpacing_ = Tag(new QLabel, kLineSpacing, QStringLiteral("线间距"));
    window_ = List(kWindowList, QStringLiteral("窗函数"),
                   {QStringLiteral("矩形窗"), QStringLiteral("汉宁窗"), QStringLiteral("平顶窗")});
    averaging_ = List(kAveragingList, QStringLiteral("平均"),
                      {QStringLiteral("无"), QStringLiteral("线性"), QStringLiteral("指数"), QStringLiteral("峰值保持")});
    averages_ = Tag(new QSpinBox, kAverageCount, QStringLiteral("平均次数"));
    averages_->setRange(an::kMinAverages, an::kMaxAverages);
    averages_->setValue(8);
    auto *reset = Tag(new QPushButton(QStringLiteral("重置平均")), kResetButton, QStringLiteral("重置平均"));
    for (auto [caption, widget] : std::initializer_list<std::pair<const char *, QWidget *>>{
             {"轴", axis_}, {"物理量", quantity_}, {"长度", length_}, {nullptr, lineSpacing_}, {"窗函数", window_},
             {"平均", averaging_}, {"次数", averages_}, {nullptr, reset}}) {
        if (caption)
            what->addWidget(Caption(QString::fromUtf8(caption)));
        what->addWidget(widget);
    }
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
    root->addLayout(how);

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
    root->addLayout(body, 1);

    cursor_ = Tag(new QLabel, kCursorLabel, QStringLiteral("光标"));
    status_ = Tag(new QLabel, kStatusLabel, QStringLiteral("状态"));
    auto *foot = new QHBoxLayout;
    foot->addWidget(cursor_, 1);
    foot->addWidget(status_);
    root->addLayout(foot);

    // Every option change goes to the worker at once; the result follows.
    for (QComboBox *list : {axis_, quantity_, length_, window_, averaging_, speed_})
        connect(list, &QComboBox::currentIndexChanged, this, &CAnalysisDlg::SendRequest);
    connect(averages_, &QSpinBox::valueChanged, this, &CAnalysisDlg::SendRequest);
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
    r.axis = axis_->currentIndex();
    r.quantity = quantity_->currentIndex();
    r.spectrum.seconds = kLengths[std::clamp(length_->currentIndex(), 0, 3)];
    r.spectrum.window = static_cast<an::WindowKind>(std::clamp(window_->currentIndex(), 0, 2));
    r.spectrum.averaging = static_cast<an::Averaging>(std::clamp(averaging_->currentIndex(), 0, 3));
    r.spectrum.averages = averages_->value();
    r.ratedSpeed = speed_->currentIndex() == 1;
    r.fromHz = view_->FromHz();
    r.toHz = view_->ToHz();
    averages_->setEnabled(r.spectrum.averaging == an::Averaging::Linear ||
                          r.spectrum.averaging == an::Averaging::Exponential);
    worker_.SetRequest(r);
}

void CAnalysisDlg::Poll()
{
    if (!worker_.TakeResult(result_, result_.sequence))
        return;
    view_->SetResult(result_);
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
    if (result_.slot < 0) {
        text = QStringLiteral("未选择传感器");
    } else if (!result_.ready) {
        text = QStringLiteral("采集数据 %1 / %2 s")
                   .arg(std::min(result_.collectedSeconds, result_.request.spectrum.seconds), 0, 'f', 1)
                   .arg(result_.request.spectrum.seconds, 0, 'f', 1);
    } else {
        text = QStringLiteral("平均 %1").arg(result_.averaged);
        if (result_.request.spectrum.averaging == an::Averaging::Linear)
            text += QStringLiteral(" / %1").arg(result_.request.spectrum.averages);
    }
    text += QStringLiteral("    转速 %1 rpm").arg(result_.rpm, 0, 'f', 0);
    status_->setText(text);
}
