#include <gtest/gtest.h>

#include <random>

#include "core/station/Station.h"
#include "support/TestPeers.h"

using namespace tav;
using tav::test::ConnectLoopback;
using tav::test::RecordingEventSink;
using tav::test::WaitFor;

namespace {

struct StationFixture : ::testing::Test {
    RecordingEventSink sink;
    std::unique_ptr<Station> station;
    std::vector<int> clients;

    void SetUp() override
    {
        StationOptions options;
        options.port = 0;
        options.startFolder = ::testing::TempDir();
        // Test processes share this folder; the history's lock would make all
        // but one report a second station. Nothing here is about the history.
        options.settings.history.enabled = false;
        station = std::make_unique<Station>(options, sink);
        std::vector<std::string> errors;
        ASSERT_EQ(station->Start(&errors), 0);
    }
    void TearDown() override
    {
        station->Stop();
        for (int fd : clients)
            if (fd >= 0)
                ::close(fd);
        gRecordingAllocator = &std::malloc;
    }
    int Connect()
    {
        int fd = ConnectLoopback(station->Port());
        clients.push_back(fd);
        return fd;
    }
    void Disconnect(int fd)
    {
        ::close(fd);
        for (auto &c : clients)
            if (c == fd)
                c = -1;
    }
    ConnectionTable &Table() { return station->Table(); }
};

}  // namespace

TEST_F(StationFixture, FortyConnectAndTheFortyFirstWaitsForTheLowestFreeSlot)
{
    for (int i = 0; i < kSlotCount; ++i)
        ASSERT_GE(Connect(), 0);
    ASSERT_TRUE(WaitFor([&] { return Table().CountInUse() == kSlotCount; }));
    EXPECT_EQ(Table().onlineCount.load(), kSlotCount);

    // The 41st completes its handshake into the backlog but gets no slot.
    int extra = Connect();
    ASSERT_GE(extra, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Table().CountInUse(), kSlotCount);

    // Free slot 7 (the 8th client): the waiting sensor takes exactly that slot.
    uint32_t oldGeneration = Table().records[7].generation.load();
    Disconnect(clients[7]);
    ASSERT_TRUE(WaitFor([&] { return Table().records[7].generation.load() != oldGeneration && Table().records[7].InUse(); },
                        std::chrono::seconds(5)));
    // It really is the 41st: sending on it reaches slot 7's ring.
    const char hello[] = "0123456789";
    tav::test::SendAll(extra, hello, 10);
    EXPECT_TRUE(WaitFor([&] { return Table().records[7].bytesReceived.load() == 10; }));
    EXPECT_EQ(Table().CountInUse(), kSlotCount);
}

TEST_F(StationFixture, ChurnKeepsOnlineCountEqualToInUseSlots)
{
    std::mt19937 rng(3);
    std::vector<int> open;
    for (int round = 0; round < 300; ++round) {
        if (open.size() < 30 && (open.empty() || rng() % 2)) {
            int fd = Connect();
            if (fd >= 0)
                open.push_back(fd);
        } else {
            size_t i = rng() % open.size();
            if (rng() % 3 == 0)
                tav::test::SendAll(open[i], "PUDT", 4);  // leaves mid-packet
            Disconnect(open[i]);
            open.erase(open.begin() + long(i));
        }
    }
    // The server's own waits are 0.2 s at most: 5 s without an accept or release is a stuck slot.
    auto served = [&] { return sink.Count(kConnectionEvent, kEventEstablished) + sink.Count(kConnectionReleasedEvent); };
    auto whileServing = [&](const std::function<bool()> &cond) {
        for (int seen = -1; seen != served();)
            if (seen = served(), WaitFor(cond, std::chrono::seconds(5)))
                return true;
        return false;
    };
    ASSERT_TRUE(whileServing([&] { return Table().CountInUse() == int(open.size()); }));
    ASSERT_TRUE(WaitFor([&] { return Table().onlineCount.load() == int(open.size()); }));
    for (int fd : open)
        Disconnect(fd);
    ASSERT_TRUE(whileServing([&] { return Table().onlineCount.load() == 0 && Table().CountInUse() == 0; }));
    EXPECT_EQ(sink.Count(kConnectionEvent, kEventEstablished), sink.Count(kConnectionEvent, kEventPeerClosed) +
                                                                    sink.Count(kConnectionEvent, kEventReceiveFailed));
    // The in-use mark and the online count drop together before the release
    // event is posted, so the last releases may still be on their way.
    WaitFor([&] { return sink.Count(kConnectionReleasedEvent) == sink.Count(kConnectionEvent, kEventEstablished); });
    EXPECT_EQ(sink.Count(kConnectionReleasedEvent), sink.Count(kConnectionEvent, kEventEstablished));
}

TEST_F(StationFixture, SilentGarbageAndHalfPacketPeersDoNotDisturbOthers)
{
    int silent = Connect();
    int garbage = Connect();
    int good = Connect();
    ASSERT_TRUE(WaitFor([&] { return Table().CountInUse() == 3; }));
    std::vector<uint8_t> junk(50000);
    std::mt19937 rng(9);
    for (auto &b : junk)
        b = uint8_t(rng());
    tav::test::SendAll(garbage, junk.data(), junk.size());
    tav::test::SendAll(good, junk.data(), 1420 * 10);
    tav::test::SendAll(garbage, "PUDT", 4);
    Disconnect(garbage);
    ASSERT_TRUE(WaitFor([&] { return Table().records[2].bytesReceived.load() == 14200; }));
    EXPECT_TRUE(Table().records[0].InUse());
    EXPECT_TRUE(Table().records[2].InUse());
    (void)silent;
}

TEST_F(StationFixture, ReplayDropsTheSelectedSensorsBytesOnly)
{
    int a = Connect();
    int b = Connect();
    ASSERT_TRUE(WaitFor([&] { return Table().CountInUse() == 2; }));
    Table().selectedConnection = 0;
    Table().acquisitionState = 2;
    std::vector<uint8_t> data(4000, 0x5A);
    tav::test::SendAll(b, data.data(), data.size());
    ASSERT_TRUE(WaitFor([&] { return Table().records[1].bytesReceived.load() == 4000; }));
    tav::test::SendAll(a, data.data(), data.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Table().records[0].bytesReceived.load(), 0u);
    Table().acquisitionState = 0;
}

TEST_F(StationFixture, FailedRecordingAllocationStillServesTheSensor)
{
    gRecordingAllocator = +[](size_t) -> void * { return nullptr; };
    int fd = Connect();
    ASSERT_TRUE(WaitFor([&] { return Table().CountInUse() == 1; }));
    {
        std::lock_guard lock(Table().records[0].recordingMutex);
        EXPECT_EQ(Table().records[0].recording, nullptr);
    }
    EXPECT_TRUE(WaitFor([&] { return sink.Count(kLogLineEvent) == 1; }));
    tav::test::SendAll(fd, "abcdef", 6);
    EXPECT_TRUE(WaitFor([&] { return Table().records[0].bytesReceived.load() == 6; }));
}

TEST_F(StationFixture, StopClosesEveryConnectionAndJoinsEveryThread)
{
    for (int i = 0; i < kSlotCount; ++i)
        ASSERT_GE(Connect(), 0);
    ASSERT_TRUE(WaitFor([&] { return Table().CountInUse() == kSlotCount; }));
    auto t0 = std::chrono::steady_clock::now();
    station->Stop();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("stop with 40 connections: %.3f s\n", seconds);
    EXPECT_LT(seconds, 5.0);  // generous: sanitizer builds on a loaded machine
    EXPECT_EQ(Table().CountInUse(), 0);
    EXPECT_EQ(Table().onlineCount.load(), 0);
    for (auto &rec : Table().records) {
        EXPECT_FALSE(rec.receiveThread.joinable());
        EXPECT_FALSE(rec.threadsRunning.load());
    }
}

TEST(ServerPort, ASecondServerOnTheSamePortFailsAtBind)
{
    RecordingEventSink sink;
    auto table = std::make_unique<ConnectionTable>();  // far too large for a stack
    DrainHandler handler;
    Server first(*table, sink, handler);
    std::string error;
    ASSERT_EQ(first.OpenServer(0, true, &error), 0);

    auto table2 = std::make_unique<ConnectionTable>();
    Server second(*table2, sink, handler);
    EXPECT_EQ(second.OpenServer(first.Port(), true, &error), -1);
    EXPECT_EQ(error, "网络初始化错误，端口被占用，关闭程序重新运行");

    StationOptions options;
    options.port = first.Port();
    options.startFolder = ::testing::TempDir();
    // Test processes share this folder; the history's lock would make all
    // but one report a second station. Nothing here is about the history.
    options.settings.history.enabled = false;
    Station station(options, sink);
    std::vector<std::string> messages;
    EXPECT_EQ(station.Start(&messages), -1);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "网络初始化错误，端口被占用，关闭程序重新运行");
    EXPECT_EQ(messages[1], "与界面通信SOCKET产生错误");
}
