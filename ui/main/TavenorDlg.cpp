#include "ui/main/TavenorDlg.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPointer>

#include "ui/analysis/AnalysisDlg.h"
#include "ui/analysis/WaterfallPanel.h"
#include "ui/common/ApplicationIcon.h"
#include "ui/common/Messages.h"
#include "ui/common/PlotFrame.h"
#include "ui/common/QtEventSink.h"
#include "ui/history/HistoryDialog.h"
#include "ui/main/AlarmControls.h"
#include "ui/main/OverviewControls.h"
#include "ui/main/ConfigBinder.h"
#include "ui/main/ConnectionLogView.h"
#include "ui/main/LiveView.h"
#include "ui/main/SteadyControls.h"
#include "ui/main/TransientControls.h"
#include "ui/steady/SteadyDataDisp.h"

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
    liveView_->SetTimeToAlarm([this](int32_t address, int axis) { return station_.TimeToAlarm(address, axis); });
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
    new tav::ui::OverviewControls(*this);  // menu "总览" and its window
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
    const QString online = QString::number(table.CountInUse());
    if (onlineEdit_->text() != online)
        onlineEdit_->setText(online);
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
