// The connection log in the real main window on the offscreen platform.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>

#include <memory>

#include "core/net/ConnectionLog.h"
#include "support/TestPeers.h"
#include "ui/common/Controls.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/TavenorDlg.h"

using tav::ui::FindControl;

namespace {
struct ConnectionLogWindow : ::testing::Test {
    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;

    void SetUp() override
    {
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = ::testing::TempDir();
        // Test processes share this folder; the history's lock would make all
        // but one report a second station. Nothing here is about the history.
        options.settings.history.enabled = false;
        station = std::make_unique<tav::Station>(options, sink);
        dlg = std::make_unique<CTavenorDlg>(*station);
        sink.SetTarget(dlg.get());
        std::vector<std::string> messages;
        ASSERT_EQ(station->Start(&messages), 0);
        dlg->Initialise(messages);
        dlg->show();
    }
    void TearDown() override
    {
        dlg->Shutdown();
        sink.Detach();
    }
    QStringList Lines() { return FindControl<QPlainTextEdit>(dlg.get(), 1126)->toPlainText().split('\n'); }
    bool Spin(const std::function<bool()> &cond)
    {
        for (int i = 0; i < 1000 && !cond(); ++i)
            QTest::qWait(10);
        return cond();
    }
};
}  // namespace

TEST_F(ConnectionLogWindow, SensorThatConnectsAndClosesIsLoggedBeneathTheSpectrum)
{
    auto *log = FindControl<QPlainTextEdit>(dlg.get(), 1126);
    auto *frame = FindControl(dlg.get(), 1025);
    ASSERT_TRUE(log && frame);
    EXPECT_FALSE(log->isVisible());

    int fd = tav::test::ConnectLoopback(station->Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Spin([&] { return !log->toPlainText().isEmpty(); }));
    ::close(fd);
    ASSERT_TRUE(Spin([&] { return Lines().size() == 2; }));
    EXPECT_TRUE(Lines()[0].startsWith(QStringLiteral("建立连接,第1次, 时间"))) << Lines()[0].toStdString();
    EXPECT_TRUE(Lines()[1].startsWith(QStringLiteral("sock关闭,第1次,ret=0 时间"))) << Lines()[1].toStdString();

    // The log fills while covered; the buttons uncover and cover it.
    FindControl<QPushButton>(dlg.get(), 1144)->click();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_TRUE(log->isVisible());
    FindControl<QPushButton>(dlg.get(), 1143)->click();
    EXPECT_TRUE(frame->isVisible());
    EXPECT_FALSE(log->isVisible());
}

TEST_F(ConnectionLogWindow, ExtraLinesAndTheBound)
{
    sink.Post(tav::StationEvent::Text(tav::kLogLineEvent, "连接0的录制缓冲区分配失败，该连接不录制数据"));
    for (size_t i = 0; i < tav::ConnectionLog::kMaxLines + 10; ++i)
        sink.Post(tav::StationEvent::Make(tav::kConnectionEvent, -1, tav::kEventTransientError));
    auto *log = FindControl<QPlainTextEdit>(dlg.get(), 1126);
    ASSERT_TRUE(Spin([&] { return log->document()->lastBlock().text().contains(QStringLiteral("第10010次")); }));
    EXPECT_EQ(log->blockCount(), int(tav::ConnectionLog::kMaxLines));
    EXPECT_TRUE(log->document()->firstBlock().text().startsWith(QStringLiteral("正常继续,第11次,ret=-1 时间")))
        << log->document()->firstBlock().text().toStdString();
}
