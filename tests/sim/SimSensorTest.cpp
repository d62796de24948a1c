// Simulated sensors over real loopback connections, with the test as the
// station: a listening socket on an ephemeral port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "SimTestSupport.h"
#include "sim/SimFleet.h"
#include "sim/SimSensor.h"

using namespace tav::sim;
using namespace simtest;

namespace {

class Listener {
public:
    explicit Listener(bool listenNow = true)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (listenNow)
            Listen();
    }
    ~Listener() { ::close(fd_); }
    void Listen() { EXPECT_EQ(::listen(fd_, 50), 0); }
    uint16_t Port() const { return port_; }

    // Accepted descriptor, or -1 after `seconds`.
    int Accept(double seconds)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, int(seconds * 1000)) <= 0)
            return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Reads for `seconds` (or until the peer closes); appends to *out. Returns
// false once the peer has closed.
bool ReadFor(int fd, double seconds, Bytes *out)
{
    const double until = MonotonicSeconds() + seconds;
    uint8_t buf[65536];
    for (;;) {
        double left = until - MonotonicSeconds();
        if (left <= 0)
            return true;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left * 1000) + 1) <= 0)
            continue;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        out->insert(out->end(), buf, buf + n);
    }
}

void ReadToEnd(int fd, Bytes *out)
{
    while (ReadFor(fd, 5.0, out)) {
    }
}

// Frames found by a resynchronising scan: packets need both markers,
// replies a plausible length.
std::vector<Frame> ScanFrames(const Bytes &s)
{
    std::vector<Frame> frames;
    size_t i = 0;
    while (i + 6 <= s.size()) {
        std::string m(s.begin() + long(i), s.begin() + long(i) + 4);
        if (m == "PUDT" && i + 1420 <= s.size() &&
            std::equal(s.begin() + long(i) + 1416, s.begin() + long(i) + 1420, "PEND")) {
            frames.push_back({m, Bytes(s.begin() + long(i), s.begin() + long(i) + 1420)});
            i += 1420;
        } else if ((m == "PRAS" || m == "PWAS") && Get16(s, i + 4) >= 16 && i + Get16(s, i + 4) <= s.size()) {
            size_t len = Get16(s, i + 4);
            frames.push_back({m, Bytes(s.begin() + long(i), s.begin() + long(i + len))});
            i += len;
        } else {
            ++i;
        }
    }
    return frames;
}

void SendAll(int fd, const Bytes &b)
{
    ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
}

SensorConfig Config(uint16_t port, uint32_t address = 5)
{
    SensorConfig c;
    c.port = port;
    c.address = address;
    c.quiet = true;
    c.reconnectDelay = 0.1;
    return c;
}

}  // namespace

TEST(SimSensorNetwork, StreamsWholePacketsNoFasterThanTheClockAndCountsWhatItSent)
{
    Listener station;
    SimSensor sensor(Config(station.Port()));
    const double start = MonotonicSeconds();
    sensor.Start();
    int fd = station.Accept(5);
    ASSERT_GE(fd, 0);
    Bytes got;
    ReadFor(fd, 0.5, &got);
    sensor.Stop();
    const double elapsed = MonotonicSeconds() - start;
    ReadToEnd(fd, &got);
    ::close(fd);

    SensorCounts c = sensor.Stats().Snapshot();
    EXPECT_EQ(c.connects, 1u);
    EXPECT_EQ(got.size(), c.bytesSent);
    ASSERT_EQ(got.size() % 1420, 0u);
    EXPECT_EQ(c.packetsSent, got.size() / 1420);
    EXPECT_GT(c.packetsSent, 0u);
    // Pacing can lag on a busy machine but never run ahead of the clock.
    EXPECT_LE(double(c.packetsSent), elapsed * 26667.0 / 116 + 1);
    auto frames = ScanFrames(got);
    ASSERT_EQ(frames.size(), c.packetsSent);
    for (size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(Get32(frames[k].bytes, 4), 5u);
        EXPECT_EQ(Get32(frames[k].bytes, 16), k);
    }
}

TEST(SimSensorNetwork, WaitsForTheStationAndReconnectsWhenClosed)
{
    Listener station(false);  // bound, not yet listening: connections are refused
    SimSensor sensor(Config(station.Port()));
    sensor.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    EXPECT_FALSE(sensor.Connected());
    EXPECT_GE(sensor.Stats().connectFailures.load(), 2u);

    station.Listen();
    int fd = station.Accept(5);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sensor.WaitConnected(5));
    Bytes first;
    ReadFor(fd, 0.1, &first);
    ::close(fd);  // the station drops the sensor

    int again = station.Accept(5);
    ASSERT_GE(again, 0);
    Bytes second;
    ReadFor(again, 0.2, &second);
    sensor.Stop();
    ::close(again);
    EXPECT_EQ(sensor.Stats().connects.load(), 2u);
    EXPECT_EQ(sensor.Stats().closedByStation.load(), 1u);
    // The new connection starts at a packet boundary.
    ASSERT_GE(second.size(), 4u);
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + 4, "PUDT"));
}

TEST(SimSensorNetwork, AnswersCommandsWhileStreamingAndAppliesThem)
{
    Listener station;
    SimSensor sensor(Config(station.Port(), 7));
    sensor.Start();
    int fd = station.Accept(5);
    ASSERT_GE(fd, 0);

    // A read split over two sends, then an address write and a read of the
    // new address back to back.
    Bytes read = ReadRequest(1, 7, 15, 11);
    SendAll(fd, Bytes(read.begin(), read.begin() + 9));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SendAll(fd, Bytes(read.begin() + 9, read.end()));
    Bytes two = WriteSingle(2, 7, 26, 300);
    Bytes next = ReadRequest(3, 300, 26, 1);
    two.insert(two.end(), next.begin(), next.end());
    SendAll(fd, two);

    Bytes got;
    ReadFor(fd, 0.4, &got);
    std::vector<Frame> replies;
    uint32_t lastAddress = 0;
    for (auto &f : ScanFrames(got)) {
        if (f.marker == "PUDT")
            lastAddress = Get32(f.bytes, 4);
        else
            replies.push_back(f);
    }
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].marker, "PRAS");
    EXPECT_EQ(Get16(replies[0].bytes, 16), 11u);
    EXPECT_EQ(replies[0].bytes[18], 0xC0);
    EXPECT_EQ(replies[1].marker, "PWAS");
    EXPECT_EQ(Get16(replies[1].bytes, 6), 2u);
    EXPECT_EQ(Get16(replies[2].bytes, 18), 300u);
    EXPECT_EQ(lastAddress, 300u);
    EXPECT_EQ(sensor.Address(), 300u);
    EXPECT_EQ(sensor.Registers().Get(SensorRegisterMap::kDeviceAddress), 300u);

    // Upgrade mode: acknowledged, then the stream stops.
    SendAll(fd, WriteSingle(4, 300, 0, 0x4D2C));
    Bytes ack;
    ReadFor(fd, 0.3, &ack);
    EXPECT_TRUE(sensor.InUpgradeMode());
    EXPECT_FALSE(sensor.Streaming());
    Bytes quiet;
    ReadFor(fd, 0.2, &quiet);
    EXPECT_TRUE(quiet.empty());
    sensor.Stop();
    ::close(fd);
    EXPECT_EQ(sensor.Stats().repliesSent.load(), 4u);
}

TEST(SimSensorNetwork, TruncatedConnectionEndsMidPacket)
{
    Listener station;
    SensorConfig c = Config(station.Port());
    c.truncate = true;
    c.truncateAfter = 0.2;
    SimSensor sensor(c);
    sensor.Start();
    int fd = station.Accept(5);
    ASSERT_GE(fd, 0);
    Bytes got;
    ReadToEnd(fd, &got);
    ::close(fd);
    EXPECT_NE(got.size() % 1420, 0u);
    EXPECT_EQ(sensor.Stats().truncations.load(), 1u);
    // It comes back.
    int again = station.Accept(5);
    EXPECT_GE(again, 0);
    sensor.Stop();
    if (again >= 0)
        ::close(again);
}

TEST(SimSensorNetwork, FleetWithGarbageAndSilentPeersConnectsEveryone)
{
    Listener station;
    FleetConfig f;
    f.base = Config(station.Port());
    f.sensors = 3;
    f.firstAddress = 20;
    f.garbagePeers = 1;
    f.silentPeers = 1;
    SimFleet fleet(f);
    fleet.Start();
    std::vector<int> fds;
    for (int i = 0; i < 5; ++i) {
        int fd = station.Accept(5);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    std::vector<Bytes> got(fds.size());
    for (size_t i = 0; i < fds.size(); ++i)
        ReadFor(fds[i], 0.1, &got[i]);
    fleet.Stop();
    for (size_t i = 0; i < fds.size(); ++i) {
        ReadToEnd(fds[i], &got[i]);
        ::close(fds[i]);
    }
    EXPECT_EQ(fleet.Size(), 5u);
    SensorCounts total = fleet.Totals();
    uint64_t received = 0, empty = 0;
    for (auto &g : got) {
        received += g.size();
        empty += g.empty() ? 1 : 0;
    }
    EXPECT_EQ(received, total.bytesSent);
    EXPECT_EQ(empty, 1u);  // the silent peer
    EXPECT_EQ(total.connects, 5u);
    EXPECT_EQ(fleet.Peer(0).Address(), 20u);
    EXPECT_EQ(fleet.Peer(2).Address(), 22u);
    std::string report = fleet.Report();
    EXPECT_NE(report.find("garbage peer"), std::string::npos);
    EXPECT_NE(report.find("total: bytes="), std::string::npos);
}
