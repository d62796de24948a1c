#include "ui/main/TavenorDlg.h"

#include <arpa/inet.h>

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

#include "ui/analysis/AnalysisDlg.h"
#include "ui/analysis/WaterfallPanel.h"
#include "ui/common/ConnectionLine.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/PlotFrame.h"
#include "ui/common/QtEventSink.h"
#include "ui/history/HistoryDialog.h"
#include "ui/main/AboutDlg.h"
#include "ui/main/AlarmControls.h"
#include "ui/main/ConfigBinder.h"
#include "ui/main/ConnectionLogView.h"
#include "ui/main/LiveView.h"
#include "ui/main/SteadyControls.h"
#include "ui/main/TransientControls.h"
#include "ui/steady/SteadyDataDisp.h"

using tav::ui::FindControl;
using tav::ui::Tag;

namespace {

const char *const kAxisName[3] = {"X", "Y", "Z"};

QStringList AmplitudeScales()
{
    return {"0.005", "0.01", "0.02", "0.05", "0.1", "0.2", "0.5", "1.0", "2.0", "5.0", "10.0", "20.0", "50.0"};
}
QStringList TimeScales() { return {"0.5ms", "1.0ms", "2.0ms", "5.0ms", "10.0ms", "20.0ms", "50.0ms", "100.0ms"}; }
QStringList FrequencyScales() { return {"5", "10", "20", "50", "100", "200", "500", "1000"}; }

QComboBox *ScaleList(int id, const QString &name, const QStringList &items, int defaultIndex)
{
    auto *box = Tag(new QComboBox, id, name);
    box->addItems(items);  // in this order, unsorted: the index is the scale
    box->setCurrentIndex(defaultIndex);
    return box;
}

QLineEdit *Field(int id, const QString &name, bool readOnly = true)
{
    auto *edit = Tag(new QLineEdit, id, name);
    edit->setReadOnly(readOnly);
    edit->setMinimumWidth(64);
    edit->setMaximumWidth(110);
    return edit;
}

QPushButton *Button(int id, const QString &text)
{
    auto *b = Tag(new QPushButton(text), id, text);
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

// Frame that a plot draws into. Plots are what gives up height when the
// window is small, so their minimum is well below their usual height.
tav::PlotFrame *PlotFrame(int id, const QString &name)
{
    auto *f = new tav::PlotFrame(id, nullptr, name);
    f->setMinimumSize(260, 100);
    f->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    return f;
}

QLabel *Label(const QString &text) { return new QLabel(text); }

}  // namespace

CTavenorDlg::CTavenorDlg(tav::Station &station, QWidget *parent)
    : QDialog(parent),
      station_(station),
      marks_(station.Alarms()),
      plots_{tav::CWaveDisp(tav::kTimeMode), tav::CWaveDisp(tav::kTimeMode), tav::CWaveDisp(tav::kTimeMode),
             tav::CWaveDisp(tav::kSpectrumMode), tav::CWaveDisp(tav::kSpectrumMode), tav::CWaveDisp(tav::kSpectrumMode)}
{
    setObjectName(QString::number(kDialogId));
    listShows_.fill(tav::kSlotFree);  // as the empty list shows
    setWindowTitle(QStringLiteral("Ostrel 三轴振动传感器监测站"));
    setWindowIcon(tav::ui::ApplicationIcon());
    setSizeGripEnabled(true);
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    BuildLayout();
    BuildMenus();
    // The broker link's state sits in the menu bar's corner, where it takes
    // no height from the plots; the alarm indicator joins it there.
    {
        auto *corner = new QWidget(menuBar_);
        auto *row = new QHBoxLayout(corner);
        row->setContentsMargins(0, 0, 6, 0);
        row->addWidget(mqttLabel_);
        menuBar_->setCornerWidget(corner, Qt::TopRightCorner);
    }
    KeepControlsWhole();
    // The connection log fills from the posted connection events and extra
    // log lines; its two buttons uncover and cover it.
    auto *connectionLog = new tav::ConnectionLogView(this, station.Table());
    connect(this, &CTavenorDlg::connectionEvent, connectionLog, &tav::ConnectionLogView::OnConnectionEvent);
    connect(this, &CTavenorDlg::logLine, connectionLog, &tav::ConnectionLogView::OnLogLine);
    new tav::ui::TransientControls(*this);  // owned by this window
    // Plots, their controls and the live numbers (timers 1 and 2, live blocks).
    tav::CWaveDisp *const livePlots[6] = {&plots_[0], &plots_[1], &plots_[2], &plots_[3], &plots_[4], &plots_[5]};
    liveView_ = new tav::ui::LiveView(*this, livePlots, station_.Table(), station_.Plots());
    liveView_->SetMarks(&marks_);
    connect(this, &CTavenorDlg::liveBlock, liveView_, &tav::ui::LiveView::OnLiveBlock);
    connect(this, &CTavenorDlg::liveNumbers, liveView_, &tav::ui::LiveView::RefreshNumbers);
    connect(this, &CTavenorDlg::timer2Tick, liveView_, &tav::ui::LiveView::OnTimer2);
    connect(this, &CTavenorDlg::connectionReleased, this, &CTavenorDlg::OnConnectionReleased);
    connect(&timer1_, &QTimer::timeout, this, &CTavenorDlg::OnTimer1);
    connect(&timer2_, &QTimer::timeout, this, &CTavenorDlg::timer2Tick);
    // Menus 32771 / 32778 and the sensor replies (0x469).
    new tav::ui::ConfigBinder(*this);
    new tav::ui::SteadyControls(*this);  // tick, releases and the log buttons
    new tav::ui::AlarmControls(*this);   // menu "报警", its window and the indicator
    steadyViewer_ = new CSteadyDataDisp(station_.Steady(), this);
    steadyViewer_->SetMarks(&marks_);
    connect(this, &CTavenorDlg::menuCommand, steadyViewer_, [this](int id) {
        if (id == kSteadyViewerCommand)
            steadyViewer_->OpenDialog();
    });
    connect(this, &CTavenorDlg::menuCommand, this, [this](int id) {
        if (id != kHistoryViewerCommand) return;
        // Made at the first opening: its reader thread is only worth having
        // once somebody looks at the history.
        if (!historyViewer_)
            historyViewer_ = new CHistoryDialog(station_.DataFolder() + "/" + tav::kHistoryFileName,
                                                station_.DataFolder(), steadyViewer_->State(), this);
        historyViewer_->SetNames([this](int32_t address) { return marks_.Name(address); });
        historyViewer_->OpenDialog();
    });
    analysis_ = new CAnalysisDlg(station_.Table(), station_.Plots(), this);
    analysis_->SetMachines(&station_.Settings().sensors);
    // "瀑布图": its panel follows the window's axis and the window its own.
    auto *waterfall = new tav::ui::WaterfallPanel(station_.Table(), station_.Plots(), station_.DataFolder());
    waterfall->setObjectName(QStringLiteral("waterfallPage"));
    analysis_->SetWaterfallPage(waterfall);
    if (auto *windowAxis = analysis_->findChild<QComboBox *>(QString::number(CAnalysisDlg::kAxisList)))
        if (auto *panelAxis =
                waterfall->findChild<QComboBox *>(QString::number(tav::ui::WaterfallPanel::kAxisList))) {
            connect(windowAxis, &QComboBox::currentIndexChanged, waterfall,
                    [waterfall](int axis) { waterfall->SetAxis(axis); });
            connect(panelAxis, &QComboBox::currentIndexChanged, windowAxis, &QComboBox::setCurrentIndex);
        }
    connect(this, &CTavenorDlg::menuCommand, analysis_, [this](int id) {
        if (id == kSpectrumAnalysisCommand)
            analysis_->OpenOn(0);
    });
    for (int a = 0; a < 3; ++a)
        if (tav::PlotFrame *frame = plots_[3 + a].Frame())
            connect(frame, &tav::PlotFrame::doubleClicked, analysis_, [this, a] { analysis_->OpenOn(a); });
}

CTavenorDlg::~CTavenorDlg() { Shutdown(); }

void CTavenorDlg::KeepControlsWhole()
{
    // Controls keep their height and the plots give theirs up first; the
    // window may not shrink past the point where the layout would have to
    // squeeze a control and lay it over its neighbour. Fonts and styles
    // change that point, so it is taken again whenever the layout changes.
    layout()->activate();
    const QSize whole = layout()->totalMinimumSize().expandedTo(QSize(kMinimumWidth, kMinimumHeight));
    if (minimumSize() != whole)
        setMinimumSize(whole);
}

void CTavenorDlg::BuildLayout()
{
    auto *root = new QHBoxLayout(this);

    // Left column: connection, sensor values, processing, steady and transient controls.
    auto *left = new QVBoxLayout;
    root->addLayout(left, 0);

    auto *conn = new QGroupBox(QStringLiteral("连接"));
    auto *connLayout = new QGridLayout(conn);
    onlineEdit_ = Field(1000, QStringLiteral("在线数"));
    connectionList_ = Tag(new tav::ui::ConnectionCombo, 1001, QStringLiteral("连接选择"));
    connectionList_->setMinimumWidth(150);
    ipEdit_ = Field(1004, QStringLiteral("IP地址"));
    portEdit_ = Field(1005, QStringLiteral("端口号"));
    connLayout->addWidget(Label(QStringLiteral("在线数")), 0, 0);
    connLayout->addWidget(onlineEdit_, 0, 1);
    connLayout->addWidget(Label(QStringLiteral("连接选择")), 1, 0);
    connLayout->addWidget(connectionList_, 1, 1);
    peerRows_[0] = Label(QStringLiteral("IP地址"));
    peerRows_[1] = ipEdit_;
    peerRows_[2] = Label(QStringLiteral("端口号"));
    peerRows_[3] = portEdit_;
    for (int i = 0; i < 4; ++i)
        connLayout->addWidget(peerRows_[i], 2 + i / 2, i % 2);
    // While a replay runs, whose data are on screen, in place of the peer
    // rows: the live peer is not what is shown, and the window keeps its height.
    replaySource_ = Tag(new QLabel, tav::ui::TransientControls::kIdReplaySource, QStringLiteral("回放数据"));
    replaySource_->setStyleSheet(QStringLiteral("background:#fff0a0;color:black;font-weight:bold;padding:2px"));
    replaySource_->setMaximumWidth(260);
    replaySource_->hide();
    connLayout->addWidget(replaySource_, 2, 0, 2, 2);
    mqttLabel_ = new QLabel(QStringLiteral("MQTT 未启用"));
    mqttLabel_->setObjectName(QStringLiteral("mqttLink"));
    mqttLabel_->setEnabled(false);  // greyed: a note, not a control
    left->addWidget(conn);
    connect(connectionList_, &tav::ui::ConnectionCombo::aboutToShowPopup, this, &CTavenorDlg::RebuildConnectionList);
    connect(connectionList_, &tav::ui::ConnectionCombo::aboutToShowToolTip, this, &CTavenorDlg::ShowSensorToolTip);
    connect(connectionList_, &QComboBox::activated, this, [this](int index) {
        bool ok = false;
        int slot = connectionList_->itemText(index).trimmed().section(' ', 0, 0).toInt(&ok);
        if (ok && slot >= 0 && slot < tav::kSlotCount)
            SelectConnection(slot);
    });

    auto *values = new QGroupBox(QStringLiteral("传感器"));
    auto *valuesLayout = new QGridLayout(values);
    const struct {
        int id;
        const char *label;
    } fields[] = {{1027, "采样频率"}, {1028, "温度"}, {1029, "转速"}, {1026, "设备ID"}};
    int row = 0;
    for (const auto &f : fields) {
        auto *label = Label(QString::fromUtf8(f.label));
        auto *edit = Field(f.id, QString::fromUtf8(f.label));
        valuesLayout->addWidget(label, row, 0);
        valuesLayout->addWidget(edit, row, 1);
        if (f.id == 1026) {  // the sensor address is kept, not shown
            label->hide();
            edit->hide();
        }
        ++row;
    }
    auto *hiddenList = Tag(new QComboBox, 1002, QStringLiteral("传感器"));
    hiddenList->hide();
    valuesLayout->addWidget(hiddenList, row, 1);
    left->addWidget(values);

    auto *processing = new QGroupBox(QStringLiteral("处理"));
    auto *procLayout = new QHBoxLayout(processing);  // side by side: the column must fit 720 pixels
    procLayout->addWidget(Button(1149, QStringLiteral("10Hz高通->开")));
    procLayout->addWidget(Button(1018, QStringLiteral("同步 暂停/继续")));
    left->addWidget(processing);

    auto *steady = new QGroupBox(QStringLiteral("稳态"));
    auto *steadyLayout = new QHBoxLayout(steady);
    steadyLayout->addWidget(Button(1155, QStringLiteral("存储")));
    auto *stopLog = Button(1156, QStringLiteral("停止"));
    stopLog->setEnabled(false);
    steadyLayout->addWidget(stopLog);
    left->addWidget(steady);

    auto *transient = new QGroupBox(QStringLiteral("瞬态"));
    auto *trLayout = new QGridLayout(transient);
    trLayout->addWidget(Button(1031, QStringLiteral("采集")), 0, 0);
    trLayout->addWidget(Button(1040, QStringLiteral("暂停")), 0, 1);
    trLayout->addWidget(Button(1041, QStringLiteral("停止")), 0, 2);
    trLayout->addWidget(Label(QStringLiteral("采集时间")), 1, 0);
    trLayout->addWidget(Field(1090, QStringLiteral("采集时间")), 1, 1);
    trLayout->addWidget(Label(QStringLiteral("(S)")), 1, 2);
    trLayout->addWidget(Button(1032, QStringLiteral("重放")), 2, 0);
    auto *progress = Tag(new QSlider(Qt::Horizontal), 1089, QStringLiteral("重放时间"));
    progress->setRange(0, 100);
    trLayout->addWidget(progress, 2, 1, 1, 2);
    trLayout->addWidget(Label(QStringLiteral("重放时间")), 3, 0);
    trLayout->addWidget(Field(1091, QStringLiteral("重放时间")), 3, 1);
    trLayout->addWidget(Label(QStringLiteral("(S)")), 3, 2);
    left->addWidget(transient);

    auto *logBox = new QGroupBox(QStringLiteral("连接信息"));
    auto *logLayout = new QHBoxLayout(logBox);
    logLayout->addWidget(Button(1144, QStringLiteral("打开连接信息")));
    logLayout->addWidget(Button(1143, QStringLiteral("关闭连接信息")));
    left->addWidget(logBox);

    left->addStretch(1);
    auto *ok = Button(1, QStringLiteral("确定"));
    ok->hide();
    left->addWidget(ok);
    auto *quit = Button(2, QStringLiteral("退出"));
    left->addWidget(quit);
    connect(quit, &QPushButton::clicked, this, &CTavenorDlg::RequestQuit);

    // Right: per axis a waveform group and a spectrum group.
    auto *plots = new QGridLayout;
    root->addLayout(plots, 1);
    const int waveFrame[3] = {1006, 1007, 1008};
    const int radioBase[3] = {1072, 1075, 1078};
    const int ampList[3] = {1009, 1011, 1013};
    const int timeList[3] = {1010, 1012, 1014};
    const int pauseButton[3] = {1015, 1016, 1017};
    const int rmsEdit[3] = {1019, 1021, 1023};
    const int peakEdit[3] = {1020, 1022, 1024};
    const int crestEdit[3] = {2120, 2121, 2122};
    const int bandEdit[3] = {2123, 2124, 2125};
    const int zoneEdit[3] = {2126, 2127, 2128};
    const int specFrame[3] = {1025, 1030, 1033};
    const int specAmp[3] = {1034, 1036, 1038};
    const int specFreq[3] = {1035, 1037, 1039};
    const int slider[3] = {1085, 1084, 1083};
    for (int a = 0; a < 3; ++a) {
        const QString axis = QString::fromUtf8(kAxisName[a]) + QStringLiteral("轴");
        const QString sensorAxis = QStringLiteral("传感器") + axis;

        auto *wave = new QGroupBox(sensorAxis);
        auto *w = new QVBoxLayout(wave);
        // Tight margins: at 720 pixels every one of them is taken from a plot.
        w->setContentsMargins(8, 4, 8, 4);
        w->setSpacing(4);
        auto *waveFrameWidget = PlotFrame(waveFrame[a], sensorAxis);
        plots_[a].Bind(waveFrameWidget, &station_.Plots().time[a]);
        w->addWidget(waveFrameWidget, 1);
        auto *radios = new QButtonGroup(wave);
        QHBoxLayout *controls = new QHBoxLayout;
        const char *quantities[3] = {"加速度", "速度", "位移"};
        for (int q = 0; q < 3; ++q) {
            auto *r = Tag(new QRadioButton(QString::fromUtf8(quantities[q])), radioBase[a] + q,
                          axis + QStringLiteral(" ") + QString::fromUtf8(quantities[q]));
            radios->addButton(r, q);
            controls->addWidget(r);
            if (q == 0)
                r->setChecked(true);
        }
        auto *pause = Button(pauseButton[a], QStringLiteral("暂停/继续"));
        pause->setAccessibleName(axis + QStringLiteral(" 暂停/继续"));
        controls->addWidget(pause);
        controls->addWidget(Label(QStringLiteral("有效值")));
        controls->addWidget(Field(rmsEdit[a], axis + QStringLiteral(" 有效值")));
        controls->addWidget(Label(QStringLiteral("峰值")));
        controls->addWidget(Field(peakEdit[a], axis + QStringLiteral(" 峰值")));
        controls->addStretch(1);
        w->addLayout(controls);
        controls = new QHBoxLayout;
        const QString ampLabel = a == 0 ? QStringLiteral("Y轴(g)(mm/s)[mm)") : QStringLiteral("Y轴(g)(mm/s)(mm)");
        controls->addWidget(Label(ampLabel));
        controls->addWidget(ScaleList(ampList[a], axis + QStringLiteral(" ") + ampLabel, AmplitudeScales(), 5));
        controls->addWidget(Label(QStringLiteral("X轴ms/div")));
        controls->addWidget(ScaleList(timeList[a], axis + QStringLiteral(" X轴ms/div"), TimeScales(), 7));
        // Under RMS and peak, where the row has room at the smallest width.
        controls->addWidget(Label(QStringLiteral("峰值因子")));
        controls->addWidget(Field(crestEdit[a], axis + QStringLiteral(" 峰值因子")));
        // Severity: the 10 Hz - 1 kHz velocity RMS and its zone for the
        // machine's class, whatever quantity the plot shows.
        auto *bandLabel = Label(QStringLiteral("烈度"));
        bandLabel->setToolTip(QStringLiteral("速度有效值 10~1000Hz (mm/s)"));
        controls->addWidget(bandLabel);
        auto *band = Field(bandEdit[a], axis + QStringLiteral(" 烈度"));
        band->setToolTip(bandLabel->toolTip());
        band->setMinimumWidth(56);
        controls->addWidget(band);
        // The zone letter right beside its value, in the zone's colour: a
        // label of its own would cost the row its room at 1280 pixels.
        auto *zone = Field(zoneEdit[a], axis + QStringLiteral(" 区域"));
        zone->setToolTip(QStringLiteral("区域 (ISO 10816-3)：A 新机 / B 可长期运行 / C 限期运行 / D 可能损坏"));
        zone->setMinimumWidth(30);
        zone->setMaximumWidth(36);
        zone->setAlignment(Qt::AlignCenter);
        controls->addWidget(zone);
        controls->addStretch(1);
        w->addLayout(controls);
        plots->addWidget(wave, a, 0);

        auto *spectrumBox = new QGroupBox(axis + QStringLiteral("频谱"));
        auto *s = new QVBoxLayout(spectrumBox);
        s->setContentsMargins(8, 4, 8, 4);
        s->setSpacing(4);
        auto *cell = new QGridLayout;
        cell->setContentsMargins(0, 0, 0, 0);
        if (a == 0) {
            // The connection log lies under the X spectrum and shows when it is hidden.
            auto *log = Tag(new QPlainTextEdit, 1126, QStringLiteral("连接信息"));
            log->setReadOnly(true);
            log->hide();
            cell->addWidget(log, 0, 0);
        }
        auto *specFrameWidget = PlotFrame(specFrame[a], axis + QStringLiteral("频谱"));
        plots_[3 + a].Bind(specFrameWidget, &station_.Plots().spectrum[a]);
        cell->addWidget(specFrameWidget, 0, 0);
        s->addLayout(cell, 1);
        QHBoxLayout *sc = new QHBoxLayout;
        sc->addWidget(Label(QStringLiteral("Y轴(g)(mm/s)(mm)")));
        sc->addWidget(ScaleList(specAmp[a], axis + QStringLiteral("频谱 Y轴(g)(mm/s)(mm)"), AmplitudeScales(), 5));
        sc->addWidget(Label(QStringLiteral("X轴 Hz/div")));
        sc->addWidget(ScaleList(specFreq[a], axis + QStringLiteral("频谱 X轴 Hz/div"), FrequencyScales(), 7));
        auto *track = Tag(new QSlider(Qt::Horizontal), slider[a], axis + QStringLiteral("频谱 滑块"));
        track->setRange(0, 100);
        track->setMinimumWidth(90);
        sc->addWidget(track, 1);
        s->addLayout(sc);
        plots->addWidget(spectrumBox, a, 1);
    }
    plots->setColumnStretch(0, 3);
    plots->setColumnStretch(1, 2);
}

void CTavenorDlg::BuildMenus()
{
    menuBar_ = new QMenuBar(this);
    menuBar_->setObjectName(QStringLiteral("129"));
    layout()->setMenuBar(menuBar_);
    auto add = [this](QMenu *menu, const QString &text, int id) {
        QAction *action = tav::ui::TagAction(menu->addAction(text), id);
        connect(action, &QAction::triggered, this, [this, id] { emit menuCommand(id); });
        return action;
    };
    QMenu *file = menuBar_->addMenu(QStringLiteral("文件"));
    add(file, QStringLiteral("打开"), 32773);
    add(file, QStringLiteral("保存"), 32775);
    QMenu *settings = menuBar_->addMenu(QStringLiteral("设置参数"));
    add(settings, QStringLiteral("传感器参数"), 32771);
    add(settings, QStringLiteral("设备参数设置"), 32778);
    QMenu *steady = menuBar_->addMenu(QStringLiteral("稳态数据"));
    add(steady, QStringLiteral("数据展示"), 32777);
    add(steady, QStringLiteral("历史趋势"), kHistoryViewerCommand);
    QMenu *analysis = menuBar_->addMenu(QStringLiteral("分析"));
    add(analysis, QStringLiteral("频谱分析"), kSpectrumAnalysisCommand);
    QMenu *help = menuBar_->addMenu(QStringLiteral("帮助"));
    QAction *about = add(help, QStringLiteral("关于 Tavenor(&A)..."), tav::ui::kAboutCommandId);
    connect(about, &QAction::triggered, this, [this] {
        CAboutDlg dlg(this);
        dlg.exec();
    });
}

void CTavenorDlg::Initialise(const std::vector<std::string> &startMessages)
{
    // In turn, the cause first: shown at once, the later box covered it.
    QStringList texts;
    for (const auto &m : startMessages)
        texts << QString::fromStdString(m);
    tav::ui::ShowMessagesInTurn(this, texts);
    timer1_.start(kTimer1Ms);
    timer2_.start(kTimer2Ms);
    ShowMqttLink();
}

bool CTavenorDlg::ConnectionListStale()
{
    for (int slot = 0; slot < tav::kSlotCount; ++slot)
        if (tav::ListedAddress(station_.Table().records[slot]) != listShows_[slot])
            return true;
    return false;
}

void CTavenorDlg::RebuildConnectionList()
{
    auto &table = station_.Table();
    const int shown = table.selectedConnection.load();
    connectionList_->clear();
    int shownLine = -1;
    for (int slot = 0; slot < tav::kSlotCount; ++slot) {
        const auto &rec = table.records[slot];
        const int64_t address = listShows_[slot] = tav::ListedAddress(rec);
        if (address == tav::kSlotFree)
            continue;
        if (slot == shown)
            shownLine = connectionList_->count();
        connectionList_->addItem(tav::ui::ConnectionLine(slot, rec));
        connectionList_->setItemData(connectionList_->count() - 1,
                                     address >= 0 ? SensorToolTip(int32_t(address)) : QString(), Qt::ToolTipRole);
    }
    // The list holds only connected slots, so a line's index moves whenever
    // a lower slot comes or goes: the line is found by its slot number, and
    // the closed list always names the sensor whose data are on screen. A
    // replay on a live sensor's slot shows another sensor's data: then no
    // line is current, and the list's placeholder names the replay.
    if (table.acquisitionState.load() == 2 && !connectionList_->placeholderText().isEmpty())
        shownLine = -1;
    connectionList_->setCurrentIndex(shownLine);
    ShowSensorToolTip();
}

void CTavenorDlg::ShowSensorToolTip()
{
    // Names change when station.toml does, so the closed list's tooltip is
    // taken afresh whenever it is about to show.
    const int slot = station_.Table().selectedConnection.load();
    const bool shown = slot >= 0 && slot < tav::kSlotCount && station_.Table().records[slot].InUse();
    connectionList_->setToolTip(
        shown ? SensorToolTip(int32_t(station_.Table().records[slot].sensorAddress.load())) : QString());
}

QString CTavenorDlg::SensorToolTip(int32_t address) const
{
    const std::string &name = marks_.Name(address);
    QString tip = QStringLiteral("地址:%1").arg(address);
    if (!name.empty())
        tip += QStringLiteral("  ") + QString::fromStdString(name);
    return tip;
}

void CTavenorDlg::SelectConnection(int slot)
{
    station_.Table().selectedConnection = slot;
    ShowPeer(slot);
    ShowSensorToolTip();
}

void CTavenorDlg::OnConnectionReleased(int slot)
{
    auto &table = station_.Table();
    // A replay feeds the shown slot itself and keeps it.
    if (table.acquisitionState.load() == 2)
        return;
    // The shown sensor has gone: show nothing rather than its last values as
    // if they were live; the next tick shows the lowest connected slot, if
    // any. This is done here, on the window thread, and not by the receive
    // thread that released the slot: the list, the peer fields and the
    // tick's choice of a slot all live on this thread, so nothing can choose
    // a slot between the test and the clearing. The compare-exchange leaves
    // alone a selection that has already moved to another slot.
    int expected = slot;
    if (!table.selectedConnection.compare_exchange_strong(expected, -1))
        return;
    connectionList_->setCurrentIndex(-1);
    connectionList_->setToolTip(QString());
    ipEdit_->clear();
    portEdit_->clear();
    liveView_->RefreshNumbers();  // empty while nothing is selected
}

void CTavenorDlg::ShowReplaySource(const QString &text, const QString &toolTip)
{
    replaySource_->setText(text);
    replaySource_->setToolTip(toolTip);
    replaySource_->setVisible(!text.isEmpty());
    for (QWidget *w : peerRows_)
        w->setVisible(text.isEmpty());
}

void CTavenorDlg::ShowPeer(int slot)
{
    auto &rec = station_.Table().records[slot];
    sockaddr_in peer;
    {
        std::lock_guard lock(rec.infoMutex);
        peer = rec.peer;
    }
    portEdit_->setText(QString::asprintf("%d", int(ntohs(peer.sin_port))));
    const auto *b = reinterpret_cast<const uint8_t *>(&peer.sin_addr.s_addr);
    ipEdit_->setText(QString::asprintf("%d.%d.%d.%d", b[0], b[1], b[2], b[3]));
}

void CTavenorDlg::OnTimer1()
{
    auto &table = station_.Table();
    // Connection selection: with nothing shown, the lowest connected slot.
    if (table.onlineCount.load() > 0 && table.selectedConnection.load() == -1) {
        for (int slot = 0; slot < tav::kSlotCount; ++slot) {
            if (!table.records[slot].InUse())
                continue;
            SelectConnection(slot);
            RebuildConnectionList();
            break;
        }
    }
    // Sensors that connected, left, or sent their first packet since the
    // last look: their lines change now, not when the operator opens the
    // list. Not while the list is open under the mouse, nor during a replay,
    // whose line for slot 0 is the replay's own.
    if (table.acquisitionState.load() != 2 && !connectionList_->view()->isVisible() && ConnectionListStale())
        RebuildConnectionList();
    emit steadyTick();
    onlineEdit_->setText(QString::asprintf("%d", table.CountInUse()));
    emit liveNumbers();
    ShowMqttLink();
}

void CTavenorDlg::ShowMqttLink()
{
    tav::MqttPublisher *mqtt = station_.Mqtt();
    const int state = mqtt ? int(mqtt->LinkState()) : int(tav::MqttLinkState::kOff);
    if (state == mqttShown_)
        return;
    mqttShown_ = state;
    const QString address = mqtt ? QString::fromStdString(mqtt->BrokerAddress()) : QString();
    switch (tav::MqttLinkState(state)) {
    case tav::MqttLinkState::kConnected:
        mqttLabel_->setText(QStringLiteral("MQTT 已连接 ") + address);
        break;
    case tav::MqttLinkState::kConnecting:
        mqttLabel_->setText(QStringLiteral("MQTT 重新连接中 ") + address);
        break;
    default:
        mqttLabel_->setText(QStringLiteral("MQTT 未启用"));
    }
}

bool CTavenorDlg::event(QEvent *e)
{
    if (e->type() == QEvent::LayoutRequest || e->type() == QEvent::FontChange ||
        e->type() == QEvent::StyleChange) {
        const bool done = QDialog::event(e);
        KeepControlsWhole();
        return done;
    }
    if (e->type() < QEvent::User)
        return QDialog::event(e);
    auto *se = dynamic_cast<tav::ui::StationQEvent *>(e);
    if (!se)
        return QDialog::event(e);
    const tav::StationEvent &ev = se->event;
    switch (ev.type) {
    case tav::kLiveBlockEvent:
        emit liveBlock();
        break;
    case tav::kSensorReplyEvent:
        emit sensorReply(ev);
        break;
    case tav::kConnectionEvent:
        emit connectionEvent(ev.wParam, ev.lParam);
        break;
    case tav::kConnectionReleasedEvent:
        emit connectionReleased(int(ev.wParam), quint32(ev.lParam));
        break;
    case tav::kAcceptFailedEvent:
        tav::ui::ShowMessage(this, QStringLiteral("accept WRONG!"));
        break;
    case tav::kMessageEvent:
        tav::ui::ShowMessage(this, QString::fromUtf8(ev.text));
        break;
    case tav::kLogLineEvent:
        emit logLine(QString::fromUtf8(ev.text));
        break;
    case tav::kSaveProgressEvent:
        emit saveProgress(int(ev.wParam), ev.lParam != 0);
        break;
    default:
        return QDialog::event(e);
    }
    return true;
}

void CTavenorDlg::keyPressEvent(QKeyEvent *e)
{
    // Neither Enter nor Escape closes the station: one key pressed by
    // mistake would stop monitoring, alarms, history and MQTT at once.
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter || e->key() == Qt::Key_Escape) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void CTavenorDlg::closeEvent(QCloseEvent *e)
{
    if (shutDown_) {
        QDialog::closeEvent(e);
        return;
    }
    // The close box asks as "退出" does; the window closes later, on a yes.
    e->ignore();
    RequestQuit();
}

void CTavenorDlg::RequestQuit()
{
    if (shutDown_)
        return;
    if (station_.Table().CountInUse() == 0) {
        reject();
        return;
    }
    QPointer<CTavenorDlg> self(this);
    tav::ui::AskQuestion(this, QuitQuestion(), [self] {
        if (self)
            self->reject();
    });
}

void CTavenorDlg::accept() {}

void CTavenorDlg::reject()
{
    Shutdown();
    QDialog::reject();
}

void CTavenorDlg::Shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    timer1_.stop();
    timer2_.stop();
    if (analysis_)
        analysis_->Worker().Stop();
    if (steadyViewer_ && steadyViewer_->IsOpen())
        steadyViewer_->done(QDialog::Rejected);
    station_.Stop();
}
