#include "ui/main/TransientControls.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSlider>

#include "core/record/Replayer.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/main/TavenorDlg.h"

namespace tav::ui {

namespace {
TransientControls::FileChooser &Chooser()
{
    static TransientControls::FileChooser chooser;
    return chooser;
}

QString AskForRecording(QWidget *parent, const QString &folder)
{
    QFileDialog dialog(parent, QStringLiteral("读取数据"), folder, QStringLiteral("vdat File(*.vdat)"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("vdat"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}
}  // namespace

void TransientControls::SetFileChooser(FileChooser chooser) { Chooser() = std::move(chooser); }

TransientControls::TransientControls(CTavenorDlg &dlg) : QObject(&dlg), dlg_(dlg)
{
    record_ = FindControl<QPushButton>(&dlg, 1031);
    pause_ = FindControl<QPushButton>(&dlg, 1040);
    stop_ = FindControl<QPushButton>(&dlg, 1041);
    replay_ = FindControl<QPushButton>(&dlg, 1032);
    progress_ = FindControl<QSlider>(&dlg, 1089);
    recordedSeconds_ = FindControl<QLineEdit>(&dlg, 1090);
    replayedSeconds_ = FindControl<QLineEdit>(&dlg, 1091);
    connectionList_ = FindControl<QComboBox>(&dlg, 1001);

    if (record_)
        connect(record_, &QPushButton::clicked, this, &TransientControls::StartRecording);
    if (pause_)
        connect(pause_, &QPushButton::clicked, this, &TransientControls::TogglePause);
    if (stop_)
        connect(stop_, &QPushButton::clicked, this, &TransientControls::Stop);
    if (replay_)
        connect(replay_, &QPushButton::clicked, this, &TransientControls::StartReplay);
    if (progress_) {
        // Any change of the track bar, a drag included, repositions a paused
        // replay; in every other state the core ignores it.
        connect(progress_, &QSlider::valueChanged, this, [this](int value) { dlg_.Station().Replay().Reposition(value); });
    }
    connect(&dlg, &CTavenorDlg::menuCommand, this, [this](int id) {
        if (id == kOpenCommand)
            Open();
        else if (id == kSaveCommand)
            Save();
    });
    connect(&dlg, &CTavenorDlg::saveProgress, this, &TransientControls::OnSaveProgress);
    connect(&timer3_, &QTimer::timeout, this, &TransientControls::OnTimer3);
}

void TransientControls::StartRecording()
{
    std::string message;
    if (!dlg_.Station().Recording().StartRecording(&message)) {
        if (!message.empty())
            ShowMessage(&dlg_, QString::fromStdString(message));
        return;
    }
    record_->setEnabled(false);
    replay_->setEnabled(false);
    loadedFile_.clear();  // the buffer now holds the new recording
    timer3_.start(kRecordingTickMs);
}

void TransientControls::TogglePause()
{
    bool paused = dlg_.Station().Recording().TogglePause();
    pause_->setText(paused ? QStringLiteral("继续") : QStringLiteral("暂停"));
}

void TransientControls::Stop()
{
    dlg_.Station().Recording().StopAcquisition();
    ShowStopped();
}

void TransientControls::ShowStopped()
{
    record_->setEnabled(true);
    replay_->setEnabled(true);
    pause_->setText(QStringLiteral("暂停"));
    timer3_.stop();
    dlg_.Station().Replay().Finish();
    ShowReplaySource(false);
}

void TransientControls::ShowReplaySource(bool replaying)
{
    const ConnectionTable &table = dlg_.Station().Table();
    const int slot = table.selectedConnection.load();
    const bool onLiveSlot = slot >= 0 && slot < kSlotCount && table.records[slot].InUse();
    if (!replaying) {
        dlg_.ShowReplaySource(QString(), QString());
        if (connectionList_ && !connectionList_->placeholderText().isEmpty()) {
            connectionList_->setPlaceholderText(QString());
            dlg_.RebuildConnectionList();
        }
        return;
    }
    // The replayed data come through the shown slot, but they are another
    // sensor's: its address, its machine and the file name are what the
    // operator must see, never the live sensor's line.
    const uint32_t address = dlg_.Station().Replay().FileAddress();
    const std::string &name = dlg_.Marks().Name(int32_t(address));
    QString who = QStringLiteral("地址:%1").arg(int32_t(address));
    if (!name.empty())
        who += QStringLiteral("  ") + QString::fromStdString(name);
    const QString file = loadedFile_.isEmpty() ? QStringLiteral("采集数据") : QFileInfo(loadedFile_).fileName();
    dlg_.ShowReplaySource(QStringLiteral("回放：") + file + QStringLiteral("\n") + who, loadedFile_);
    if (connectionList_ && onLiveSlot) {
        connectionList_->setPlaceholderText(QStringLiteral("回放 ") + who);
        connectionList_->setCurrentIndex(-1);
    }
}

void TransientControls::StartReplay()
{
    if (!dlg_.Station().Replay().Start())
        return;
    record_->setEnabled(false);
    replay_->setEnabled(false);
    ShowReplaySource(true);
    timer3_.start(kReplayTickMs);
}

void TransientControls::OnTimer3()
{
    Recorder &recorder = dlg_.Station().Recording();
    switch (recorder.AcquisitionState()) {
    case 1: {
        RecordingProgress p = recorder.Progress();
        progress_->setValue(p.percent);
        recordedSeconds_->setText(QString::fromStdString(p.seconds));
        break;
    }
    case 2: {
        ReplayTick tick = dlg_.Station().Replay().Tick();
        if (!tick.listLine.empty() && connectionList_) {
            connectionList_->addItem(QString::fromStdString(tick.listLine));
            connectionList_->setCurrentIndex(connectionList_->count() - 1);
        }
        if (tick.stepped) {
            progress_->setValue(tick.percent);
            replayedSeconds_->setText(QString::fromStdString(tick.replayedText));
            recordedSeconds_->setText(QString::fromStdString(tick.totalText));
        }
        if (tick.stopped)
            ShowStopped();
        break;
    }
    default:  // stopped by a save or a load
        ShowStopped();
        break;
    }
}

void TransientControls::Open()
{
    const QString folder = QString::fromStdString(dlg_.Station().DataFolder());
    QString path = Chooser() ? Chooser()(&dlg_, folder) : AskForRecording(&dlg_, folder);
    if (path.isEmpty())
        return;  // cancelled: nothing changes
    Load(path);
}

bool TransientControls::Load(const QString &path)
{
    LoadResult r = dlg_.Station().Recording().Load(QFile::encodeName(path).toStdString());
    if (r.ok) {
        loadedFile_ = path;
        ShowStopped();  // a load ends a running recording or replay
        recordedSeconds_->setText(QString::fromStdString(r.totalText));
        replayedSeconds_->setText(QString::fromStdString(r.replayedText));
    }
    if (!r.message.empty())
        ShowMessage(&dlg_, QString::fromStdString(r.message));
    return r.ok;
}

void TransientControls::OpenForReplay(const QString &path)
{
    Recorder &recorder = dlg_.Station().Recording();
    if (recorder.Saving() || recorder.AcquisitionState() == 1) {
        ShowMessage(&dlg_, QStringLiteral("正在采集或存储数据，结束后再回放报警录波"));
        return;
    }
    if (Load(path))
        StartReplay();
}

void TransientControls::Save()
{
    std::string message;
    bool started = dlg_.Station().Recording().Save(&message);
    if (!message.empty())
        ShowMessage(&dlg_, QString::fromStdString(message));
    if (!started)
        return;
    ShowStopped();  // the save stopped acquisition first
    if (!saveProgress_) {
        saveProgress_ = new QProgressDialog(QStringLiteral("正在存储文件并导出为CSV格式文件"), QString(), 0, 100, &dlg_);
        saveProgress_->setObjectName(QStringLiteral("saveProgress"));
        saveProgress_->setWindowTitle(QStringLiteral("保存"));
        saveProgress_->setWindowModality(Qt::NonModal);
        saveProgress_->setMinimumDuration(0);
        saveProgress_->setAutoClose(false);
        saveProgress_->setAutoReset(false);
    }
    saveProgress_->setValue(0);
    saveProgress_->show();
}

void TransientControls::OnSaveProgress(int percent, bool finished)
{
    if (!saveProgress_)
        return;
    saveProgress_->setValue(percent);
    if (finished)
        saveProgress_->hide();
}

}  // namespace tav::ui
