#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>

#include "core/net/ConnectionLog.h"
#include "core/net/EventSink.h"

using namespace tav;

namespace {
// Times of day in these tests are read in UTC.
class ConnectionLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    ConnectionLog log{*table};
    const std::time_t t0 = 1700000000;  // 22:13:20 UTC
};
}  // namespace

TEST_F(ConnectionLogTest, ConnectThenCloseGivesTwoCountedLines)
{
    EXPECT_EQ(log.OnConnectionEvent(0, kEventEstablished, t0), 1);
    EXPECT_EQ(log.OnConnectionEvent(0, kEventPeerClosed, t0 + 3605), 1);
    ASSERT_EQ(log.Lines().size(), 2u);
    EXPECT_EQ(log.Lines()[0], "建立连接,第1次, 时间22:13:20");
    EXPECT_EQ(log.Lines()[1], "sock关闭,第1次,ret=0 时间23:13:25");
    EXPECT_EQ(log.Text(), "建立连接,第1次, 时间22:13:20\r\nsock关闭,第1次,ret=0 时间23:13:25\r\n");
}

TEST_F(ConnectionLogTest, AbnormalDropNamesTheLastReceiveAndEachKindCountsAlone)
{
    table->lastReceiveLength = 1420;
    table->lastReceiveTime = t0 - 62;  // 22:12:18
    EXPECT_EQ(log.OnConnectionEvent(-1, kEventReceiveFailed, t0), 2);
    EXPECT_EQ(log.OnConnectionEvent(-1, kEventTransientError, t0 + 1), 1);
    EXPECT_EQ(log.OnConnectionEvent(-1, kEventTransientError, t0 + 2), 1);
    EXPECT_EQ(log.OnConnectionEvent(-104, kEventReceiveFailed, t0 + 3), 2);
    EXPECT_EQ(log.OnConnectionEvent(0, 7, t0), 0);  // unknown code: nothing
    const std::vector<std::string> want = {
        "异常断开,第1次,ret=-1 时间22:13:20",     "最后一次接收数据长度,ret=1420 时间  22:12:18",
        "正常继续,第1次,ret=-1 时间22:13:21",     "正常继续,第2次,ret=-1 时间22:13:22",
        "异常断开,第2次,ret=-104 时间22:13:23",   "最后一次接收数据长度,ret=1420 时间  22:12:18",
    };
    EXPECT_EQ(std::vector<std::string>(log.Lines().begin(), log.Lines().end()), want);
    EXPECT_EQ(log.AbnormalCloses(), 2);
    EXPECT_EQ(log.TransientErrors(), 2);
    EXPECT_EQ(log.PeerCloses(), 0);
    EXPECT_EQ(log.Established(), 0);
}

TEST_F(ConnectionLogTest, NothingReceivedYetPrintsMidnight)
{
    log.OnConnectionEvent(-1, kEventReceiveFailed, t0);
    EXPECT_EQ(log.Lines()[1], "最后一次接收数据长度,ret=0 时间  00:00:00");
}

TEST_F(ConnectionLogTest, KeepsOnlyTheMostRecentLines)
{
    const int extra = 25;
    for (int i = 0; i < int(ConnectionLog::kMaxLines) + extra; ++i)
        log.OnConnectionEvent(0, kEventEstablished, t0);
    log.AppendNote("连接3的录制缓冲区分配失败，该连接不录制数据", t0);
    EXPECT_EQ(log.Lines().size(), ConnectionLog::kMaxLines);
    EXPECT_EQ(log.TotalAppended(), ConnectionLog::kMaxLines + extra + 1);
    EXPECT_EQ(log.Lines().front(), "建立连接,第27次, 时间22:13:20");
    EXPECT_EQ(log.Lines().back(), "连接3的录制缓冲区分配失败，该连接不录制数据 时间22:13:20");
    EXPECT_EQ(log.Established(), int(ConnectionLog::kMaxLines) + extra);
}
