#include "ui/main/LiveView.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QScreen>
#include <QSlider>
#include <QWidget>

#include <algorithm>
#include <chrono>

#include "core/alarm/AlarmEngine.h"
#include "core/processing/Conditioner.h"
#include "core/station/LiveRefresh.h"
#include "ui/common/PlotFrame.h"

namespace tav::ui {

namespace {

constexpr int kQuantityRadio[3] = {1072, 1075, 1078};  // + quantity
constexpr int kTimeAmplitudeList[3] = {1009, 1011, 1013};
constexpr int kTimeScaleList[3] = {1010, 1012, 1014};
constexpr int kPauseButton[3] = {1015, 1016, 1017};
constexpr int kPauseAllButton = 1018;
constexpr int kRmsEdit[3] = {1019, 1021, 1023};
constexpr int kPeakEdit[3] = {1020, 1022, 1024};
constexpr int kCrestEdit[3] = {2120, 2121, 2122};
constexpr int kBandEdit[3] = {2123, 2124, 2125};
constexpr int kZoneEdit[3] = {2126, 2127, 2128};
constexpr int kSpectrumAmplitudeList[3] = {1034, 1036, 1038};
constexpr int kSpectrumScaleList[3] = {1035, 1037, 1039};
constexpr int kSpectrumSlider[3] = {1085, 1084, 1083};
constexpr int kHighPassButton = 1149;
constexpr int kAddressEdit = 1026, kRateEdit = 1027, kTemperatureEdit = 1028, kSpeedEdit = 1029;

template <class W>
W *Find(const QWidget &window, int id)
{
    return window.findChild<W *>(QString::number(id));
}

// Background of a field in a mark's colour; kNone gives the field back the
// window's own palette.
void Colour(QLineEdit *edit, Mark mark, Mark *shown)
{
    if (!edit || mark == *shown)
        return;
    *shown = mark;
    const int32_t rgb = MarkColour(mark);
    if (rgb < 0) {
        edit->setPalette(QPalette());
        return;
    }
    QPalette p = edit->palette();
    p.setColor(QPalette::Base, QColor::fromRgb(QRgb(uint32_t(rgb))));
    // Offline: greyed as a whole, so that a last value is not read as live.
    p.setColor(QPalette::Text, mark == Mark::kOffline ? QColor(0x48, 0x48, 0x48) : QColor(Qt::black));
    edit->setPalette(p);
}

// The main window's start settings of each of its six plots.
void StartSettings(CWaveDisp &plot)
{
    plot.rightMargin = 16;
    plot.xScaleIndex = 7;
    plot.yScaleIndex = 5;
    plot.pointCount = 27000;
    plot.SetRunning(1);
    plot.SetQuantity(0);
}

}  // namespace

LiveView::LiveView(QWidget &window, CWaveDisp *const plots[6], ConnectionTable &table, LivePlots &livePlots)
    : QObject(&window), window_(window), table_(table), plots_(livePlots)
{
    for (int a = 0; a < 3; ++a) {
        time_[a] = plots[a];
        spectrum_[a] = plots[3 + a];
        StartSettings(*time_[a]);
        StartSettings(*spectrum_[a]);
    }
    ConnectControls();
    frameTimer_.setSingleShot(true);
    connect(&frameTimer_, &QTimer::timeout, this, &LiveView::RedrawTimePlots);
    for (int i = 0; i < 6; ++i) {
        PlotFrame *frame = (i < 3 ? time_[i] : spectrum_[i - 3])->Frame();
        if (!frame)
            continue;
        auto *veil = new QLabel(QStringLiteral("离线"), frame);
        veil->setObjectName(QStringLiteral("offlineVeil"));
        veil->setAttribute(Qt::WA_TransparentForMouseEvents);  // readout and double click still work
        veil->setStyleSheet(QStringLiteral("background:rgba(80,80,80,190);color:white;font-weight:bold;"
                                           "font-size:20pt;padding:4px 16px"));
        veil->hide();
        auto *centre = new QGridLayout(frame);
        centre->setContentsMargins(0, 0, 0, 0);
        centre->addWidget(veil, 0, 0, Qt::AlignCenter);
        offlineVeil_[i] = veil;
    }
}

void LiveView::ShowOffline(bool offline)
{
    if (offline == offline_)
        return;
    offline_ = offline;
    for (QLabel *veil : offlineVeil_)
        if (veil)
            veil->setVisible(offline);
}

LiveView::~LiveView() = default;

void LiveView::ConnectControls()
{
    for (int a = 0; a < 3; ++a) {
        CWaveDisp *time = time_[a];
        CWaveDisp *spectrum = spectrum_[a];
        for (int q = 0; q < 3; ++q) {
            auto *radio = Find<QAbstractButton>(window_, kQuantityRadio[a] + q);
            if (!radio)
                continue;
            // The change of state counts, whether a click, the keyboard or
            // an assistive tool checked the button; its group unmarks the others.
            connect(radio, &QAbstractButton::toggled, this, [time, q](bool checked) {
                if (checked)
                    time->SetQuantity(q);
            });
        }
        // A scale list takes effect when a choice is confirmed, and shows at
        // the plot's next redraw.
        auto bindList = [this](int id, int *index) {
            if (auto *list = Find<QComboBox>(window_, id))
                connect(list, &QComboBox::activated, this, [index](int i) { *index = i; });
        };
        bindList(kTimeAmplitudeList[a], &time->yScaleIndex);
        bindList(kTimeScaleList[a], &time->xScaleIndex);
        bindList(kSpectrumAmplitudeList[a], &spectrum->yScaleIndex);
        bindList(kSpectrumScaleList[a], &spectrum->xScaleIndex);
        if (auto *slider = Find<QSlider>(window_, kSpectrumSlider[a])) {
            connect(slider, &QSlider::valueChanged, this, [spectrum](int v) { spectrum->scrollPercent = v; });
            connect(slider, &QSlider::sliderReleased, this,
                    [spectrum, slider] { spectrum->scrollPercent = slider->value(); });
        }
        if (auto *pause = Find<QAbstractButton>(window_, kPauseButton[a]))
            connect(pause, &QAbstractButton::clicked, this, [time] { time->SetRunning(time->running ? 0 : 1); });
        rms_[a] = Find<QLineEdit>(window_, kRmsEdit[a]);
        peak_[a] = Find<QLineEdit>(window_, kPeakEdit[a]);
        crest_[a] = Find<QLineEdit>(window_, kCrestEdit[a]);
        band_[a] = Find<QLineEdit>(window_, kBandEdit[a]);
        zone_[a] = Find<QLineEdit>(window_, kZoneEdit[a]);
        // The zone box sits in the axis's box, whose title has room where
        // the row of fields has none at 1280 pixels.
        axisBox_[a] = zone_[a] ? qobject_cast<QGroupBox *>(zone_[a]->parentWidget()) : nullptr;
        if (axisBox_[a])
            axisTitle_[a] = axisBox_[a]->title();
    }
    if (auto *pauseAll = Find<QAbstractButton>(window_, kPauseAllButton)) {
        connect(pauseAll, &QAbstractButton::clicked, this, [this] {
            const int running[3] = {time_[0]->running, time_[1]->running, time_[2]->running};
            const int target = CommonPauseTarget(running);
            for (auto &plot : time_)
                plot->SetRunning(target);
        });
    }
    if (auto *highPass = Find<QAbstractButton>(window_, kHighPassButton)) {
        connect(highPass, &QAbstractButton::clicked, this, [this, highPass] {
            const QString text = QString::fromUtf8(HighPassButtonText(ToggleHighPass(plots_)));
            highPass->setText(text);
            highPass->setAccessibleName(text);
        });
    }
    address_ = Find<QLineEdit>(window_, kAddressEdit);
    samplingFrequency_ = Find<QLineEdit>(window_, kRateEdit);
    temperature_ = Find<QLineEdit>(window_, kTemperatureEdit);
    speed_ = Find<QLineEdit>(window_, kSpeedEdit);
}

void LiveView::OnLiveBlock()
{
    TakeLiveBlock(plots_, table_);
    // Blocks that come closer together than the screen's frames (a parser
    // catching up) are drawn together at the next frame.
    if (frameTimer_.isActive())
        return;
    const QScreen *screen = window_.screen();
    const qreal hz = screen ? screen->refreshRate() : 60.0;
    const qint64 frameMs = qint64(1000.0 / std::clamp(hz, qreal(1), qreal(240))) + 1;
    const qint64 since = sinceTimePlots_.isValid() ? sinceTimePlots_.elapsed() : frameMs;
    if (since < frameMs) {
        frameTimer_.start(int(frameMs - since));
        return;
    }
    RedrawTimePlots();
}

void LiveView::RedrawTimePlots()
{
    sinceTimePlots_.start();
    for (auto &plot : time_)
        plot->Redraw();
}

void LiveView::RefreshNumbers()
{
    LiveNumbers n = ReadLiveNumbers(plots_, table_);
    MarkLiveNumbers(n, marks_);
    const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    // Silent as long as the alarms' offline rule asks, whether or not the
    // sensor has settings (and so an offline alarm).
    const bool offline = n.selected && ShownSensorSilent(silence_, table_, nowMs, kOfflineAfterMs);
    ShowOffline(offline);
    // A field is set only when its text changes: setting it repaints it.
    auto show = [](QLineEdit *edit, const std::string &text) {
        if (!edit)
            return;
        const QString value = QString::fromStdString(text);
        if (edit->text() != value)
            edit->setText(value);
    };
    for (int a = 0; a < 3; ++a) {
        show(rms_[a], n.rms[a]);
        show(peak_[a], n.peak[a]);
        show(crest_[a], n.crest[a]);
        show(band_[a], n.band[a]);
        if (zone_[a]) {
            // Made once: the field is compared on every refresh.
            static const QString kZones[6] = {QString(), QString::fromUtf8(ZoneText(Zone::kNone)),
                                              QStringLiteral("A"), QStringLiteral("B"),
                                              QStringLiteral("C"), QStringLiteral("D")};
            static const QString kFault = QStringLiteral("异常");
            const QString &zone = !n.selected || !marks_            ? kZones[0]
                                  : n.zoneMark[a] == Mark::kSensorFault ? kFault
                                                                         : kZones[int(n.zoneOf[a]) + 2];
            // A slow machine's zone says which criterion decided it.
            const QString shown = n.zoneBy[a][0] && n.zoneMark[a] != Mark::kSensorFault && n.zoneOf[a] != Zone::kNone
                                      ? zone + QStringLiteral(" ") + QString::fromUtf8(n.zoneBy[a])
                                      : zone;
            if (zone_[a]->text() != shown) {
                zone_[a]->setMaximumWidth(shown.size() > 1 ? 72 : 36);
                zone_[a]->setText(shown);
            }
        }
        if (axisBox_[a]) {
            // A sensor that sends nothing forecasts nothing here.
            const std::string forecast =
                n.selected && !offline && timeToAlarm_ ? timeToAlarm_(n.sensorAddress, a) : std::string();
            QString title =
                forecast.empty() ? axisTitle_[a] : axisTitle_[a] + QStringLiteral("    ") + QString::fromStdString(forecast);
            if (!n.displacement[a].empty())
                title += QStringLiteral("    位移 ") + QString::fromStdString(n.displacement[a]);
            if (axisBox_[a]->title() != title)
                axisBox_[a]->setTitle(title);
        }
        Colour(rms_[a], offline ? Mark::kOffline : n.rmsMark[a], &rmsShown_[a]);
        Colour(zone_[a], offline ? Mark::kOffline : n.zoneMark[a], &zoneShown_[a]);
        Colour(band_[a], offline ? Mark::kOffline : Mark::kNone, &bandShown_[a]);
    }
    show(address_, n.address);
    show(samplingFrequency_, n.samplingFrequency);
    show(temperature_, n.temperature);
    show(speed_, n.speed);
    auto tip = [](QLineEdit *edit, const std::string &text) {
        const QString tipText = QString::fromStdString(text);
        if (edit && edit->toolTip() != tipText)
            edit->setToolTip(tipText);
    };
    tip(speed_, n.speedTip);
    for (QLineEdit *band : band_)
        tip(band, n.bandTip);
}

void LiveView::OnTimer2()
{
    for (auto &plot : spectrum_)
        plot->Redraw();
}

}  // namespace tav::ui
