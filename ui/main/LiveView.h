#pragma once
// The main window's live view: the settings of its six plots, the
// controls that steer them (quantity buttons, scale lists, pause buttons,
// spectrum sliders, the high-pass button) and the refresh of plots and
// numeric fields. The main window calls the three refresh functions from its
// timers and its live-block event; everything else is wired here.
//
// Window thread only. The controls are found in the window by their numeric
// ids; the plots are the window's own, already bound to their frames.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <string>

#include "core/alarm/SensorMarks.h"
#include "core/net/ConnectionTable.h"
#include "core/processing/LivePlots.h"
#include "core/station/LiveRefresh.h"
#include "ui/common/WaveDisp.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace tav::ui {

class LiveView : public QObject {
    Q_OBJECT
public:
    // `window` holds the controls; `plots` are its time plots X, Y, Z and
    // spectrum plots X, Y, Z, which get their start settings here. All
    // outlive this object.
    LiveView(QWidget &window, CWaveDisp *const plots[6], ConnectionTable &table, LivePlots &livePlots);
    ~LiveView() override;

    // Live-block event 0x468: spectrum input, then the time plots X, Y, Z
    // (at once, or at the screen's next frame if the last drawing was sooner).
    void OnLiveBlock();
    // Timer 1's part: RMS and peak of the shown quantities, sensor address,
    // sampling frequency, temperature and speed, the band velocity and its
    // zone, the RMS fields coloured by zone or alarm; empty without a selection.
    void RefreshNumbers();
    // Timer 2: the spectrum plots X, Y, Z.
    void OnTimer2();
    // Where the zones, colours and machine names come from; null = none.
    // Must outlive this object.
    void SetMarks(const SensorMarks *marks) { marks_ = marks; }
    // The severity trend's time to alarm of a sensor's axis ("" for none),
    // shown in the axis box's title after its name; unset = none.
    void SetTimeToAlarm(std::function<std::string(int32_t address, int axis)> fn) { timeToAlarm_ = std::move(fn); }

    CWaveDisp &TimePlot(int axis) { return *time_[axis]; }
    // The shown sensor is offline: its plots say "离线" and its zone and
    // severity fields are grey (set by RefreshNumbers).
    bool ShowsOffline() const { return offline_; }
    CWaveDisp &SpectrumPlot(int axis) { return *spectrum_[axis]; }

private:
    void ConnectControls();
    // The time plots X, Y, Z, at most once per frame of the screen.
    void RedrawTimePlots();
    void ShowOffline(bool offline);

    QWidget &window_;
    ConnectionTable &table_;
    LivePlots &plots_;
    CWaveDisp *time_[3] = {};
    CWaveDisp *spectrum_[3] = {};
    QLineEdit *rms_[3] = {};
    QLineEdit *peak_[3] = {};
    QLineEdit *crest_[3] = {};
    QLineEdit *band_[3] = {};
    QLineEdit *zone_[3] = {};
    // The axis's box, whose title also carries the time to alarm.
    QGroupBox *axisBox_[3] = {};
    QString axisTitle_[3];
    // Colours on show, so that a palette is set only when one changes.
    Mark rmsShown_[3] = {};
    Mark zoneShown_[3] = {};
    Mark bandShown_[3] = {};
    SilenceWatch silence_;
    bool offline_ = false;
    QLabel *offlineVeil_[6] = {};  // over each plot, shown while offline
    const SensorMarks *marks_ = nullptr;
    std::function<std::string(int32_t, int)> timeToAlarm_;
    QLineEdit *address_ = nullptr;
    QLineEdit *samplingFrequency_ = nullptr;
    QLineEdit *temperature_ = nullptr;
    QLineEdit *speed_ = nullptr;
    QTimer frameTimer_;             // a live block waits for the next frame
    QElapsedTimer sinceTimePlots_;  // since the time plots were last drawn
};

}  // namespace tav::ui
