// The transient controls of the real main window, on the offscreen platform.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include "record/RecordTestSupport.h"  // tests/ is on the include path
#include "ui/alarm/AlarmDlg.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/TavenorDlg.h"
#include "ui/main/TransientControls.h"

using tav::ui::FindControl;
using tav::ui::TransientControls;

namespace {

struct TransientControlsTest : ::testing::Test {
    tav::test::ScratchFolder scratch;
    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;
    QStringList messages;
    QString chosenFile;

    void SetUp() override
    {
        tav::ui::SetMessageHook([this](const QString &m) { messages << m; });
        TransientControls::SetFileChooser([this](QWidget *, const QString &folder) {
            EXPECT_EQ(folder.toStdString(), station->DataFolder());
            return chosenFile;
        });
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = scratch.Path();
        station = std::make_unique<tav::Station>(options, sink);
        dlg = std::make_unique<CTavenorDlg>(*station);
        sink.SetTarget(dlg.get());
        std::vector<std::string> startMessages;
        station->Start(&startMessages);
        dlg->Initialise(startMessages);
        dlg->show();
    }
    void TearDown() override
    {
        dlg->Shutdown();
        sink.Detach();
        tav::ui::SetMessageHook(nullptr);
        TransientControls::SetFileChooser(nullptr);
    }
    bool Spin(const std::function<bool()> &cond, int ms = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < ms)
            QTest::qWait(10);
        return cond();
    }
    template <class W>
    W *Control(int id)
    {
        W *w = FindControl<W>(dlg.get(), id);
        EXPECT_NE(w, nullptr) << "control " << id;
        return w;
    }
    void Command(int id) { dlg->findChild<QAction *>(QString::number(id))->trigger(); }
    TransientControls *Binder() { return dlg->findChild<TransientControls *>(); }
};

TEST_F(TransientControlsTest, RecordPauseAndStopDriveTheButtonsAndTimer3)
{
    auto *record = Control<QPushButton>(1031);
    auto *pause = Control<QPushButton>(1040);
    auto *replay = Control<QPushButton>(1032);
    ASSERT_NE(Binder(), nullptr);

    record->click();
    EXPECT_EQ(station->Recording().AcquisitionState(), 1);
    EXPECT_FALSE(record->isEnabled());
    EXPECT_FALSE(replay->isEnabled());
    EXPECT_TRUE(Binder()->Timer3Active());
    EXPECT_EQ(Binder()->Timer3Interval(), 100);
    // Nothing selected: the seconds stay empty.
    QTest::qWait(150);
    EXPECT_EQ(Control<QLineEdit>(1090)->text(), "");

    pause->click();
    EXPECT_EQ(pause->text(), "继续");
    EXPECT_TRUE(station->Recording().Paused());

    Control<QPushButton>(1041)->click();
    EXPECT_EQ(station->Recording().AcquisitionState(), 0);
    EXPECT_TRUE(record->isEnabled());
    EXPECT_TRUE(replay->isEnabled());
    EXPECT_EQ(pause->text(), "暂停");
    EXPECT_FALSE(Binder()->Timer3Active());
}

TEST_F(TransientControlsTest, OpenAndReplayAFileOnSlotZero)
{
    chosenFile = QString::fromStdString(scratch.Path() + "/bad.vdat");
    tav::test::WriteFile(chosenFile.toStdString(), {1, 2, 3});
    Command(TransientControls::kOpenCommand);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("bad.vdat"));

    chosenFile = QString::fromStdString(scratch.Path() + "/good.vdat");
    tav::test::WriteFile(chosenFile.toStdString(), tav::test::MakePackets(7, 26667.0f, 100));
    Command(TransientControls::kOpenCommand);
    EXPECT_EQ(messages.size(), 1);
    EXPECT_EQ(Control<QLineEdit>(1090)->text(), "0.43");
    EXPECT_EQ(Control<QLineEdit>(1091)->text(), "0.0");

    chosenFile.clear();  // a cancelled dialog changes nothing
    Command(TransientControls::kOpenCommand);
    EXPECT_EQ(station->Recording().RecordedLength(), 100 * tav::kPacketBytes);

    auto *list = Control<QComboBox>(1001);
    Control<QPushButton>(1032)->click();
    EXPECT_EQ(Binder()->Timer3Interval(), 94);
    EXPECT_FALSE(Control<QPushButton>(1031)->isEnabled());
    ASSERT_TRUE(Spin([&] { return station->Recording().AcquisitionState() == 0; }));
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(list->currentText(), "  0 : 地址:7");
    // 100 packets: four whole steps of 22 end before the data do.
    EXPECT_EQ(Control<QLineEdit>(1091)->text(), "0.38");
    EXPECT_EQ(Control<QSlider>(1089)->value(), 88);
    EXPECT_TRUE(Control<QPushButton>(1031)->isEnabled());
    EXPECT_FALSE(Binder()->Timer3Active());
}

TEST_F(TransientControlsTest, SaveShowsProgressAndTheOutcome)
{
    Command(TransientControls::kSaveCommand);
    ASSERT_TRUE(Spin([&] { return !messages.isEmpty(); }));
    EXPECT_TRUE(messages[0].contains("未存储文件")) << messages[0].toStdString();
    auto *progress = dlg->findChild<QProgressDialog *>("saveProgress");
    ASSERT_NE(progress, nullptr);
    EXPECT_TRUE(Spin([&] { return !progress->isVisible(); }));
}

}  // namespace

// The alarm window's capture link: the capture is loaded and replayed as
// "打开" and "重放" would, but never at the cost of a running recording.
TEST_F(TransientControlsTest, AlarmCaptureLinkReplaysButSparesARecording)
{
    auto *alarms = dlg->findChild<CAlarmDlg *>(QString::number(CAlarmDlg::kDialogId));
    ASSERT_NE(alarms, nullptr);
    const QString capture = QString::fromStdString(scratch.Path() + "/0007_20260101120000.vdat");
    tav::test::WriteFile(capture.toStdString(), tav::test::MakePackets(7, 26667.0f, 100));

    Control<QPushButton>(1031)->click();  // recording
    emit alarms->openCapture(capture);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(station->Recording().AcquisitionState(), 1);
    Control<QPushButton>(1041)->click();

    emit alarms->openCapture(capture);
    EXPECT_EQ(messages.size(), 1);
    EXPECT_EQ(Control<QLineEdit>(1090)->text(), "0.43");
    EXPECT_EQ(station->Recording().AcquisitionState(), 2);  // replaying
    EXPECT_TRUE(Binder()->Timer3Active());
    EXPECT_FALSE(Control<QPushButton>(1032)->isEnabled());
}
