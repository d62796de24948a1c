// Peers that are not sensors against a running station over loopback:
// silent peers holding every slot, garbage senders, and addresses outside
// the allow list. Periods are shortened through the [access] settings.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <random>

#include "core/station/Station.h"
#include "net/FrameBuilders.h"
#include "support/TestPeers.h"

using namespace tav;
using tav::test::ConnectLoopback;
using tav::test::RecordingEventSink;
using tav::test::SendAll;
using tav::test::WaitFor;

namespace {

// Connects from `from` (a loopback address) to `to`:port; -1 on failure.
int ConnectFrom(const char *from, const char *to, int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(uint16_t(port));
    ::inet_pton(AF_INET, to, &remote.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int LocalPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// True once the station has closed the client's connection.
bool ClosedByStation(int fd)
{
    timeval tv{0, 20000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char b;
    ssize_t n = ::recv(fd, &b, 1, 0);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

struct Hostile : ::testing::Test {
    RecordingEventSink sink;
    std::unique_ptr<Station> station;
    std::vector<int> clients;
    std::vector<std::string> startMessages;

    int Start(const AccessSettings &access)
    {
        StationOptions options;
        options.port = 0;
        options.startFolder = ::testing::TempDir();
        // Test processes share this folder; the history's lock would make all
        // but one report a second station. Nothing here is about the history.
        options.settings.history.enabled = false;
        options.settings.access = access;
        station = std::make_unique<Station>(options, sink);
        return station->Start(&startMessages);
    }
    void TearDown() override
    {
        if (station)
            station->Stop();
        for (int fd : clients)
            if (fd >= 0)
                ::close(fd);
    }
    int Keep(int fd)
    {
        clients.push_back(fd);
        return fd;
    }
    std::vector<std::string> LogLinesWith(const std::string &part) const
    {
        std::vector<std::string> out;
        for (const auto &e : sink.Events())
            if (e.type == kLogLineEvent && std::string(e.text).find(part) != std::string::npos)
                out.push_back(e.text);
        return out;
    }
    ConnectionTable &Table() { return station->Table(); }
    int SlotOfPeerPort(int port)
    {
        for (auto &r : Table().records)
            if (r.InUse() && r.peerPortHost.load() == port)
                return r.slotIndex;
        return -1;
    }
};

AccessSettings Short(double garbageS, double idleS)
{
    AccessSettings a;
    a.garbageTimeoutS = garbageS;
    a.idleEvictS = idleS;
    return a;
}

}  // namespace

TEST_F(Hostile, FortySilentPeersGiveWayToASensorAfterTheEvictionPeriod)
{
    ASSERT_EQ(Start(Short(60, 1.5)), 0);
    std::vector<int> silent;
    for (int i = 0; i < kSlotCount; ++i) {
        silent.push_back(Keep(ConnectLoopback(station->Port())));
        ASSERT_GE(silent.back(), 0);
        // Accepted one by one: the first is the longest silent.
        ASSERT_TRUE(WaitFor([&] { return Table().CountInUse() == i + 1; }));
    }
    const int oldestPort = LocalPort(silent[0]);

    int sensor = Keep(ConnectLoopback(station->Port()));
    ASSERT_GE(sensor, 0);
    const auto packet = tav::testing::MakePacket(77, 26667.0f);
    for (int i = 0; i < 30; ++i)
        SendAll(sensor, packet.data(), packet.size());
    ASSERT_TRUE(WaitFor([&] { return SlotOfPeerPort(LocalPort(sensor)) >= 0; }, std::chrono::seconds(20)));
    const int slot = SlotOfPeerPort(LocalPort(sensor));
    ASSERT_TRUE(WaitFor([&] { return Table().records[slot].packetsParsed.load() == 30; }));
    EXPECT_EQ(Table().records[slot].sensorAddress.load(), 77u);

    // Exactly one peer made room, the longest silent, and the log says which.
    EXPECT_TRUE(ClosedByStation(silent[0]));
    for (size_t i = 1; i < silent.size(); ++i)
        EXPECT_FALSE(ClosedByStation(silent[i])) << i;
    EXPECT_EQ(station->Net().Evicted(), 1u);
    const auto lines = LogLinesWith("127.0.0.1:" + std::to_string(oldestPort));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("腾出位置"), std::string::npos) << lines[0];
    EXPECT_EQ(Table().onlineCount.load(), kSlotCount);

    // The sensor streams on: however long it stays, a new waiting peer
    // evicts a silent one, never the sensor.
    int another = Keep(ConnectLoopback(station->Port()));
    ASSERT_GE(another, 0);
    for (int i = 0; i < 60; ++i) {
        SendAll(sensor, packet.data(), packet.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(WaitFor([&] { return SlotOfPeerPort(LocalPort(another)) >= 0; }, std::chrono::seconds(20)));
    EXPECT_EQ(SlotOfPeerPort(LocalPort(sensor)), slot);
    EXPECT_FALSE(ClosedByStation(sensor));
    EXPECT_EQ(station->Net().Evicted(), 2u);
}

TEST_F(Hostile, GarbageSendersAreClosedWhileASlowSensorIsKept)
{
    ASSERT_EQ(Start(Short(1.0, 1.0)), 0);
    std::mt19937 rng(5);
    std::vector<uint8_t> junk(3000);
    for (auto &b : junk)
        b = uint8_t('A' + rng() % 15);  // A..O, never a 'P': no frame can start
    std::copy_n("GET / HTTP/1.1", 14, junk.begin());

    int slow = Keep(ConnectLoopback(station->Port()));
    int garbage1 = Keep(ConnectLoopback(station->Port()));
    int garbage2 = Keep(ConnectLoopback(station->Port()));
    int trickle = Keep(ConnectLoopback(station->Port()));  // under a kilobyte of junk
    int mixed = Keep(ConnectLoopback(station->Port()));    // junk, then one valid reply
    ASSERT_TRUE(WaitFor([&] { return Table().CountInUse() == 5; }));
    SendAll(garbage1, junk.data(), junk.size());
    SendAll(garbage2, junk.data() + 14, 1024);
    SendAll(trickle, junk.data(), 1000);
    SendAll(mixed, junk.data(), 2000);
    const auto reply = tav::testing::MakeReply(false, 26);
    SendAll(mixed, reply.data(), reply.size());

    EXPECT_TRUE(WaitFor([&] { return ClosedByStation(garbage1) && ClosedByStation(garbage2); }));
    const auto lines = LogLinesWith("127.0.0.1:" + std::to_string(LocalPort(garbage1)));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("3000字节"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("GET / HTTP/1.1"), std::string::npos) << lines[0];
    EXPECT_EQ(LogLinesWith("127.0.0.1:" + std::to_string(LocalPort(garbage2))).size(), 1u);

    // The sensor that takes 5 s to its first packet is served when it comes.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const auto packet = tav::testing::MakePacket(12, 26667.0f);
    for (int i = 0; i < 22; ++i)
        SendAll(slow, packet.data(), packet.size());
    const int slot = SlotOfPeerPort(LocalPort(slow));
    ASSERT_GE(slot, 0);
    EXPECT_TRUE(WaitFor([&] { return Table().records[slot].blocksCompleted.load() == 1; }));
    EXPECT_FALSE(ClosedByStation(slow));
    EXPECT_FALSE(ClosedByStation(trickle));
    EXPECT_FALSE(ClosedByStation(mixed));
    EXPECT_EQ(station->Net().GarbageClosed(), 2u);
    EXPECT_EQ(station->Net().Evicted(), 0u);  // slots to spare: no eviction
    EXPECT_TRUE(WaitFor([&] { return Table().onlineCount.load() == 3 && Table().CountInUse() == 3; }));
}

TEST_F(Hostile, AllowListServesListedAddressesAndRefusesOthersBeforeASlot)
{
    AccessSettings access = Short(60, 0.5);
    access.allow = {"127.0.0.1"};
    access.allowGiven = true;
    ASSERT_EQ(Start(access), 0);
    EXPECT_TRUE(startMessages.empty());

    int allowed = Keep(ConnectFrom("127.0.0.1", "127.0.0.1", station->Port()));
    ASSERT_GE(allowed, 0);
    ASSERT_TRUE(WaitFor([&] { return SlotOfPeerPort(LocalPort(allowed)) >= 0; }));
    for (int i = 0; i < 5; ++i) {
        int other = Keep(ConnectFrom("127.0.0.2", "127.0.0.1", station->Port()));
        ASSERT_GE(other, 0);
        EXPECT_TRUE(WaitFor([&] { return ClosedByStation(other); }));
    }
    EXPECT_EQ(station->Net().Refused(), 5u);
    EXPECT_EQ(Table().CountInUse(), 1);
    // The allowed peer's receive thread posts its event as it starts, which
    // may come after its slot is seen taken.
    EXPECT_TRUE(WaitFor([&] { return sink.Count(kConnectionEvent, kEventEstablished) == 1; }));
    EXPECT_EQ(sink.Count(kConnectionEvent, kEventEstablished), 1);
    EXPECT_EQ(LogLinesWith("拒绝来自127.0.0.2").size(), 1u);  // once a minute per address

    // With every slot taken by silent peers, a refused address waiting does
    // not make anyone give way.
    for (int i = 1; i < kSlotCount; ++i)
        ASSERT_GE(Keep(ConnectLoopback(station->Port())), 0);
    ASSERT_TRUE(WaitFor([&] { return Table().CountInUse() == kSlotCount; }));
    int late = Keep(ConnectFrom("127.0.0.2", "127.0.0.1", station->Port()));
    EXPECT_TRUE(WaitFor([&] { return ClosedByStation(late); }));
    std::this_thread::sleep_for(std::chrono::seconds(1));  // two eviction periods
    EXPECT_EQ(station->Net().Evicted(), 0u);
    EXPECT_EQ(Table().CountInUse(), kSlotCount);
}

TEST_F(Hostile, BadAllowEntriesAdmitNobodyFromThem)
{
    AccessSettings access;
    access.allow = {"127.0.0.01", "127.0.0.0/33"};
    access.allowGiven = true;
    ASSERT_EQ(Start(access), 0);
    std::string all;
    for (const auto &m : startMessages)
        all += m + "\n";
    EXPECT_NE(all.find("\"127.0.0.01\""), std::string::npos) << all;
    EXPECT_NE(all.find("\"127.0.0.0/33\""), std::string::npos) << all;
    int fd = Keep(ConnectLoopback(station->Port()));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(WaitFor([&] { return ClosedByStation(fd); }));
    EXPECT_EQ(Table().CountInUse(), 0);
}

TEST_F(Hostile, BindListensOnOneAddressAndABadOneOnNone)
{
    AccessSettings access;
    access.bind = "127.0.0.2";
    ASSERT_EQ(Start(access), 0);
    EXPECT_LT(Keep(ConnectFrom("127.0.0.1", "127.0.0.1", station->Port())), 0);
    int fd = Keep(ConnectFrom("127.0.0.1", "127.0.0.2", station->Port()));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(WaitFor([&] { return Table().CountInUse() == 1; }));
    station->Stop();

    for (const char *bad : {"localhost", "0.0.0.0.0"}) {
        access.bind = bad;
        startMessages.clear();
        EXPECT_NE(Start(access), 0) << bad;
        std::string all;
        for (const auto &m : startMessages)
            all += m + "\n";
        EXPECT_NE(all.find(std::string("\"") + bad + "\""), std::string::npos) << all;
        station->Stop();
    }
}
