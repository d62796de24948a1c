#pragma once
// The station's main window: connection selection, live view, transient and
// steady-state controls, menus. It owns the controls and forwards operator
// actions to the Station; feature binders connect to its signals, which fire
// in the order the timers need.
#include <array>

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QTimer>

#include "core/alarm/SensorMarks.h"
#include "core/station/Station.h"
#include "ui/common/ConnectionLine.h"
#include "ui/common/WaveDisp.h"

class QLabel;
class QMenuBar;
class CHistoryDialog;
class CAnalysisDlg;
class CSteadyDataDisp;

namespace tav::ui {
class LiveView;
}  // namespace tav::ui

class CTavenorDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 102;
    static constexpr int kTimer1Ms = 500;
    static constexpr int kTimer2Ms = 200;
    static constexpr int kSteadyViewerCommand = 32777;  // "稳态数据" -> "数据展示"
    static constexpr int kSpectrumAnalysisCommand = 32790;  // "分析" -> "频谱分析"
    // The smallest the window gets, unless its controls need more room.
    static constexpr int kMinimumWidth = 1280;
    static constexpr int kMinimumHeight = 720;
    static constexpr int kHistoryViewerCommand = 32780;  // "稳态数据" -> "历史趋势"

    CTavenorDlg(tav::Station &station, QWidget *parent = nullptr);
    ~CTavenorDlg() override;

    tav::Station &Station() { return station_; }
    // Machine names, zones and alarm colours as every window shows them.
    const tav::SensorMarks &Marks() const { return marks_; }
    // The six plots: 0..2 time X, Y, Z (frames 1006-1008), 3..5 spectra X, Y, Z
    // (frames 1025, 1030, 1033). Window thread only.
    tav::CWaveDisp &Plot(int index) { return plots_[index]; }
    QMenuBar *MenuBar() const { return menuBar_; }
    // The live view: its plots and controls, refreshed on timers 1 and 2 and live blocks.
    tav::ui::LiveView &LiveView() { return *liveView_; }
    // "稳态数据----60分钟记录", opened by menu 32777 and reused for every opening.
    CSteadyDataDisp &SteadyViewer() { return *steadyViewer_; }
    // "历史趋势", made at the first opening by menu 32780 (null before) and
    // reused; it shares the series choice and factors of the steady viewer.
    CHistoryDialog *HistoryViewer() const { return historyViewer_; }
    // "频谱分析", opened by menu 32790 on the X axis or by a double click on
    // a spectrum plot on that plot's axis; reused for every opening.
    CAnalysisDlg &Analysis() { return *analysis_; }
    // Shows the operator's start-up messages and starts the timers.
    void Initialise(const std::vector<std::string> &startMessages);
    // Rebuilds the "连接选择" list from the in-use slots; the line of the
    // shown slot, if it has one, becomes the current line.
    void RebuildConnectionList();
    // A line of that list: "slot : 地址:address", the address only once
    // the connection's first packet has given it.
    // Makes `slot` the shown connection and shows its port and address.
    void SelectConnection(int slot);
    // The tooltip of a line of "连接选择": the sensor's address and its
    // machine's name, when it has one.
    QString SensorToolTip(int32_t address) const;
    // The closed list's tooltip: that of the shown sensor, or none.
    void ShowSensorToolTip();
    // Names the replayed data in place of the peer's address and port;
    // an empty text shows the peer again.
    void ShowReplaySource(const QString &text, const QString &toolTip);
    // Stops the station: no more accepts, every connection closed, every
    // thread joined. Called once when the window closes.
    void Shutdown();
    // "退出" and the close box: while sensors are connected the operator is
    // asked first; with none, or on a yes, the station stops and the window
    // closes. Returns at once; the question does not block the window.
    void RequestQuit();
    static QString QuitQuestion() { return QStringLiteral("退出后将停止监测所有传感器，确定退出？"); }

signals:
    // Timer 1 (500 ms), in this order: connection selection (done here),
    // steadyTick, online count (done here), liveNumbers.
    void steadyTick();
    void liveNumbers();
    void timer2Tick();
    // Posted core events.
    void liveBlock();
    void sensorReply(const tav::StationEvent &event);
    void connectionEvent(qint64 result, qint64 code);
    void connectionReleased(int slot, quint32 generation);
    void saveProgress(int percent, bool finished);
    void logLine(const QString &text);
    void menuCommand(int id);

public slots:
    void accept() override;  // Enter and the hidden OK button do nothing
    // Stops the station and closes the window without a question: a
    // confirmed quit, or a stop signal. Escape no longer comes here.
    void reject() override;

protected:
    bool event(QEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void BuildLayout();
    void BuildMenus();
    // Minimum size: 1280 x 720, or what every control needs to stay whole.
    void KeepControlsWhole();
    void OnTimer1();
    // The list no longer shows what the slots hold (a slot came, went, or
    // got its first packet since the last rebuild).
    bool ConnectionListStale();
    void ShowPeer(int slot);
    void ShowMqttLink();
    // Connection-released event: a released shown slot leaves nothing shown.
    void OnConnectionReleased(int slot);

    tav::Station &station_;
    tav::SensorMarks marks_;  // machine names and colours, from the station's alarms
    tav::CWaveDisp plots_[6];
    QMenuBar *menuBar_ = nullptr;
    tav::ui::ConnectionCombo *connectionList_ = nullptr;
    QLineEdit *onlineEdit_ = nullptr;
    QLineEdit *ipEdit_ = nullptr;
    QLineEdit *portEdit_ = nullptr;
    QWidget *peerRows_[4] = {};      // "IP地址", its field, "端口号", its field
    QLabel *replaySource_ = nullptr;  // in their place during a replay
    tav::ui::LiveView *liveView_ = nullptr;  // child object
    CSteadyDataDisp *steadyViewer_ = nullptr;  // child dialog
    CHistoryDialog *historyViewer_ = nullptr;  // child dialog, made when first opened
    CAnalysisDlg *analysis_ = nullptr;         // child dialog
    QLabel *mqttLabel_ = nullptr;  // the broker link's state, discreetly
    int mqttShown_ = -1;
    // Per slot what the connection list shows (tav::ListedAddress).
    std::array<int64_t, tav::kSlotCount> listShows_{};
    QTimer timer1_;
    QTimer timer2_;
    bool shutDown_ = false;
};
