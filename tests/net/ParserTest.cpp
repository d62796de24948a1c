#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/net/Parser.h"
#include "core/station/Station.h"
#include "tests/net/FrameBuilders.h"
#include "tests/support/TestPeers.h"

using namespace tav;
using tav::testing::Append;
using tav::testing::MakePacket;
using tav::testing::MakeReply;

namespace {

class RecordingEvents : public EventSink {
public:
    void Post(const StationEvent &e) override
    {
        std::lock_guard lock(mutex);
        events.push_back(e);
    }
    std::vector<StationEvent> Of(int type)
    {
        std::lock_guard lock(mutex);
        std::vector<StationEvent> out;
        for (const auto &e : events)
            if (e.type == type)
                out.push_back(e);
        return out;
    }
    std::mutex mutex;
    std::vector<StationEvent> events;
};

// Keeps every block it is handed, with what the record said at the time.
class BlockLog : public BlockConsumer {
public:
    void ConditionBlock(ConnectionRecord &rec, const uint8_t *block, int packets) override
    {
        sizes.push_back(packets);
        bytes.emplace_back(block, block + size_t(packets) * kPacketSize);
        currentBuffer.push_back(rec.currentBuffer);
        blocksReady.push_back(rec.blocksReady[1]);
        lockHeld.push_back(!rec.conditionMutex.try_lock());
        if (!lockHeld.back())
            rec.conditionMutex.unlock();
    }
    std::vector<int> sizes;
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<int> currentBuffer, blocksReady;
    std::vector<bool> lockHeld;
};

struct Fixture {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    RecordingEvents events;
    BlockLog blocks;
    FrameParser parser{*table, events, &blocks};
    ConnectionRecord &rec = (*table)[3];

    // Writes the stream in pieces of `chunk` bytes, parsing after each, as the
    // parser thread would when woken.
    void Feed(const std::vector<uint8_t> &stream, size_t chunk = 4096)
    {
        for (size_t at = 0; at < stream.size(); at += chunk) {
            uint32_t n = uint32_t(std::min(chunk, stream.size() - at));
            ASSERT_TRUE(rec.ring.Write(stream.data() + at, n));
            parser.ParseAvailable(rec, false);
        }
    }
};

std::vector<uint8_t> Packets(int count, float fs, uint32_t firstSeed = 0)
{
    std::vector<uint8_t> s;
    for (int i = 0; i < count; ++i)
        Append(s, MakePacket(1000 + firstSeed + uint32_t(i), fs, 30.0f, firstSeed + uint32_t(i)));
    return s;
}

}  // namespace

TEST(FrameParser, BlockSizeFollowsSamplingFrequency)
{
    struct Case {
        float fs;
        int perBlock;
    };
    for (Case c : {Case{26667.0f, 22}, Case{27000.0f, 23}, Case{100000.0f, 86}, Case{500.0f, 1}}) {
        SCOPED_TRACE(c.fs);
        Fixture f;
        std::vector<uint8_t> stream = Packets(3 * c.perBlock, c.fs);
        f.Feed(stream, 1000);  // pieces that split packets anywhere
        EXPECT_EQ(f.blocks.sizes, std::vector<int>(3, c.perBlock));
        EXPECT_EQ(f.rec.blocksCompleted.load(), 3u);
        EXPECT_EQ(f.rec.packetsParsed.load(), uint64_t(3 * c.perBlock));
        EXPECT_EQ(f.rec.packetIndex, 0);
        EXPECT_EQ(f.rec.droppedBytes.load(), 0u);
        // Blocks hold the packets byte for byte, in order.
        for (int b = 0; b < 3; ++b)
            EXPECT_TRUE(std::equal(f.blocks.bytes[b].begin(), f.blocks.bytes[b].end(),
                                   stream.begin() + size_t(b * c.perBlock) * kPacketSize));
        EXPECT_EQ(f.blocks.currentBuffer, std::vector<int>(3, 1));
        EXPECT_EQ(f.blocks.blocksReady, std::vector<int>(3, 1));
        EXPECT_EQ(f.blocks.lockHeld, std::vector<bool>(3, true));
        // The sensor fields come from the first packet of the current block.
        EXPECT_EQ(f.rec.sensorAddress.load(), uint32_t(1000 + 2 * c.perBlock));
        EXPECT_EQ(f.rec.samplingFrequency.load(), c.fs);
        EXPECT_EQ(f.rec.temperature.load(), 30.0f);
    }
}

TEST(FrameParser, NewSamplingFrequencySetsTheSizeOfTheNextBlock)
{
    Fixture f;
    std::vector<uint8_t> stream = Packets(10, 27000.0f);
    f.Feed(stream);
    Append(stream = {}, Packets(13 + 22, 26667.0f, 10));
    f.Feed(stream);
    // The change arrived mid-block: that block keeps its 23, the next has 22.
    EXPECT_EQ(f.blocks.sizes, (std::vector<int>{23, 22}));
    EXPECT_EQ(f.rec.samplingFrequency.load(), 26667.0f);
}

TEST(FrameParser, ImplausibleSamplingFrequencyKeepsTheLastGoodOne)
{
    const float bad[] = {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(), 1e9f,
                         std::numeric_limits<float>::infinity()};
    for (float fs : bad) {
        SCOPED_TRACE(fs);
        Fixture f;
        // Before any good value the start-up block size stands.
        f.Feed(Packets(23, fs));
        EXPECT_EQ(f.blocks.sizes, std::vector<int>{23});
        EXPECT_EQ(f.rec.samplingFrequency.load(), 27000.0f);

        f.Feed(Packets(22, 26667.0f, 100));
        f.Feed(Packets(22, fs, 200));
        EXPECT_EQ(f.blocks.sizes, (std::vector<int>{23, 22, 22}));
        EXPECT_EQ(f.rec.samplingFrequency.load(), 26667.0f);
        EXPECT_EQ(f.rec.packetsPerBlock.load(), 22);
        // The packet itself still counts, and so does its address.
        EXPECT_EQ(f.rec.sensorAddress.load(), 1200u);
        EXPECT_EQ(f.rec.packetsParsed.load(), 67u);
    }
}

TEST(FrameParser, PacketAcrossTheRingEndIsReassembled)
{
    Fixture f;
    const uint32_t start = ReceiveRing::kSize - 600;
    f.rec.ring.SetPositionForTest(start);
    std::vector<uint8_t> packet = MakePacket(77, 27000.0f, 21.0f, 5);
    f.Feed(packet);
    EXPECT_EQ(f.rec.packetsParsed.load(), 1u);
    EXPECT_EQ(0, std::memcmp(f.rec.blockBuffer, packet.data(), kPacketSize));
    EXPECT_EQ(f.rec.ring.ReadPosition(), kPacketSize - (ReceiveRing::kSize - start));
    EXPECT_EQ(f.rec.sensorAddress.load(), 77u);
}

TEST(FrameParser, ReplyIsPostedWithItsLengthSlotAndACopy)
{
    Fixture f;
    std::vector<uint8_t> stream;
    std::vector<uint8_t> first = MakeReply(false, 26, 1);
    std::vector<uint8_t> second = MakeReply(true, 200, 2);
    Append(stream, first);
    Append(stream, MakePacket(5, 27000.0f));
    Append(stream, second);
    Append(stream, MakeReply(true, 6, 3));
    f.Feed(stream, 7);

    auto replies = f.events.Of(kSensorReplyEvent);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].wParam, 26);
    EXPECT_EQ(replies[0].lParam, 3);
    ASSERT_EQ(replies[0].length, 26);
    EXPECT_EQ(0, std::memcmp(replies[0].data, first.data(), 26));
    // Each event keeps its own frame although the slot's buffer moved on.
    ASSERT_EQ(replies[1].length, 200);
    EXPECT_EQ(0, std::memcmp(replies[1].data, second.data(), 200));
    EXPECT_EQ(replies[2].length, 6);
    EXPECT_EQ(f.rec.replyLength, 6);
    EXPECT_EQ(0, std::memcmp(f.rec.replyBuffer, "PWAS\x06\x00", 6));
    // The packet right after the 26-byte reply was read from 26 bytes on.
    EXPECT_EQ(f.rec.packetsParsed.load(), 1u);
    EXPECT_EQ(f.rec.droppedBytes.load(), 0u);
}

TEST(FrameParser, ReplyLengthOutsideTheBufferIsNotAReply)
{
    for (int length : {5, 201, 0, 65535}) {
        SCOPED_TRACE(length);
        Fixture f;
        std::vector<uint8_t> stream = MakeReply(false, 26, 0, length);
        Append(stream, MakePacket(9, 27000.0f));
        f.Feed(stream);
        EXPECT_TRUE(f.events.Of(kSensorReplyEvent).empty());
        EXPECT_EQ(f.rec.droppedBytes.load(), 26u);
        EXPECT_EQ(f.rec.packetsParsed.load(), 1u);
    }
}

// Damage of several kinds in one stream of 12 packets: only the packets the
// damage touches are lost, and exactly the damaged bytes are dropped.
TEST(FrameParser, CorruptBytesCostOnlyTheDamagedPackets)
{
    Fixture f;
    std::vector<std::vector<uint8_t>> p;
    for (uint32_t i = 0; i < 12; ++i)
        p.push_back(MakePacket(i, 27000.0f, 20.0f, i));
    p[3][kPacketEndOffset + 1] ^= 0x40;  // end marker broken
    p[5][1] = 'X';                       // start marker broken
    std::vector<uint8_t> stream(37, 0xA5);  // garbage before the first packet
    uint64_t expectDropped = 37;
    for (uint32_t i = 0; i < 12; ++i) {
        if (i == 7)
            Append(stream, std::vector<uint8_t>(5, 0x11));  // inserted between packets
        if (i == 9)  // a packet cut short, then the next one whole
            stream.insert(stream.end(), p[8].begin(), p[8].begin() + 700);
        Append(stream, p[i]);
    }
    expectDropped += 1420 + 1420 + 5 + 700;
    Append(stream, {'P', 'U', 'D'});  // a tail that may still become a packet is kept
    f.Feed(stream, 333);

    EXPECT_EQ(f.rec.packetsParsed.load(), 10u);
    EXPECT_EQ(f.rec.droppedBytes.load(), expectDropped);
    EXPECT_EQ(f.rec.ring.Available(), 3u);
    std::vector<uint32_t> addresses;
    for (int i = 0; i < f.rec.packetIndex; ++i)
        addresses.push_back(LoadU32LE(f.rec.blockBuffer + i * kPacketSize + kPacketAddressOffset));
    EXPECT_EQ(addresses, (std::vector<uint32_t>{0, 1, 2, 4, 6, 7, 8, 9, 10, 11}));

    // One log line tells the operator how many bytes were dropped.
    auto lines = f.events.Of(kLogLineEvent);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_NE(std::string(lines[0].text).find("丢弃37字节"), std::string::npos) << lines[0].text;
    f.parser.FlushDropReport(f.rec);
    uint64_t reported = 0;
    for (const auto &e : f.events.Of(kLogLineEvent)) {
        unsigned long long n = 0;
        const char *at = std::strstr(e.text, "丢弃");
        ASSERT_NE(at, nullptr);
        std::sscanf(at + std::strlen("丢弃"), "%llu", &n);
        reported += n;
    }
    EXPECT_EQ(reported, expectDropped);
}

TEST(FrameParser, PartialFrameIsWaitedForUntilTheStreamEnds)
{
    Fixture f;
    std::vector<uint8_t> packet = MakePacket(1, 27000.0f);
    ASSERT_TRUE(f.rec.ring.Write(packet.data(), 1000));
    EXPECT_EQ(f.parser.ParseAvailable(f.rec, false), kPacketSize);
    ASSERT_TRUE(f.rec.ring.Write(packet.data() + 1000, 420));
    EXPECT_EQ(f.parser.ParseAvailable(f.rec, false), 1u);
    EXPECT_EQ(f.rec.packetsParsed.load(), 1u);

    // A reply header split inside its marker and inside its length.
    std::vector<uint8_t> reply = MakeReply(true, 40);
    ASSERT_TRUE(f.rec.ring.Write(reply.data(), 3));
    EXPECT_EQ(f.parser.ParseAvailable(f.rec, false), 4u);
    ASSERT_TRUE(f.rec.ring.Write(reply.data() + 3, 2));
    EXPECT_EQ(f.parser.ParseAvailable(f.rec, false), 6u);
    ASSERT_TRUE(f.rec.ring.Write(reply.data() + 5, 20));
    EXPECT_EQ(f.parser.ParseAvailable(f.rec, false), 40u);
    ASSERT_TRUE(f.rec.ring.Write(reply.data() + 25, 15));
    f.parser.ParseAvailable(f.rec, false);
    EXPECT_EQ(f.events.Of(kSensorReplyEvent).size(), 1u);
    EXPECT_EQ(f.rec.droppedBytes.load(), 0u);

    // At the end of the stream a cut packet no longer holds back a complete
    // reply that sits within its bytes.
    std::vector<uint8_t> tail(packet.begin(), packet.begin() + 100);
    Append(tail, MakeReply(false, 10));
    ASSERT_TRUE(f.rec.ring.Write(tail.data(), uint32_t(tail.size())));
    EXPECT_EQ(f.parser.ParseAvailable(f.rec, false), kPacketSize);
    f.parser.ParseAvailable(f.rec, true);
    EXPECT_EQ(f.events.Of(kSensorReplyEvent).size(), 2u);
    EXPECT_EQ(f.rec.droppedBytes.load(), 100u);
    EXPECT_EQ(f.rec.ring.Available(), 0u);
}

// The thread body against a writer that sends in random pieces, then closes:
// every frame arrives, and the parser ends by itself.
TEST(FrameParser, ThreadParsesEverythingAndEndsWhenTheRingCloses)
{
    Fixture f;
    std::vector<uint8_t> stream;
    int replies = 0;
    for (int i = 0; i < 2000; ++i) {
        Append(stream, MakePacket(uint32_t(i), 26667.0f, 20.0f, uint32_t(i)));
        if (i % 97 == 0) {
            Append(stream, MakeReply(i % 2, 6 + uint32_t(i % 195)));
            ++replies;
        }
    }
    std::thread parser([&] { f.parser.RunParser(f.rec); });
    std::mt19937 rng(3);
    for (size_t at = 0; at < stream.size();) {
        uint32_t n = uint32_t(std::min<size_t>(1 + rng() % 9000, stream.size() - at));
        ASSERT_TRUE(f.rec.ring.Write(stream.data() + at, n));
        at += n;
        if (rng() % 8 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    f.rec.ring.Close();
    parser.join();
    EXPECT_EQ(f.rec.packetsParsed.load(), 2000u);
    EXPECT_EQ(f.rec.blocksCompleted.load(), 2000u / 22);
    EXPECT_EQ(f.events.Of(kSensorReplyEvent).size(), size_t(replies));
    EXPECT_EQ(f.rec.droppedBytes.load(), 0u);
}

// The station's own server hands a live connection to the parser: address,
// blocks and replies of a real socket come through, and the slot frees at close.
TEST(FrameParser, StationParsesASensorOverTcp)
{
    RecordingEvents events;
    BlockLog blocks;
    Station station(StationOptions{.port = 0, .startFolder = ::testing::TempDir(), .settings = tav::test::SharedFolderSettings()}, events);
    station.SetBlockConsumer(&blocks);
    ASSERT_EQ(station.Start(nullptr), 0);

    const int fd = test::ConnectLoopback(station.Port());
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> stream = Packets(46, 27000.0f, 4242);
    Append(stream, MakeReply(false, 26));
    ASSERT_EQ(::send(fd, stream.data(), stream.size(), 0), ssize_t(stream.size()));

    ConnectionRecord &rec = station.Table()[0];
    test::WaitFor([&] { return !events.Of(kSensorReplyEvent).empty(); });
    EXPECT_EQ(rec.blocksCompleted.load(), 2u);
    EXPECT_EQ(rec.sensorAddress.load(), 1000u + 4242u + 23u);
    auto replies = events.Of(kSensorReplyEvent);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].wParam, 26);
    EXPECT_EQ(replies[0].lParam, 0);

    ::close(fd);
    EXPECT_TRUE(test::WaitFor([&] { return !rec.InUse(); }));
    station.Stop();
    EXPECT_EQ(blocks.sizes, (std::vector<int>{23, 23}));
}

// A sensor that answers a command after only part of a block and then sends
// nothing more: the receive side must not keep gathering for the rest of the
// block, nor the parser keep waiting for it. The reply and the packets
// before it come through, and the block stays open for its remaining packets.
TEST(FrameParser, ReplyAfterPartOfABlockIsNotHeldForTheRestOfTheBlock)
{
    RecordingEvents events;
    BlockLog blocks;
    Station station(StationOptions{.port = 0, .startFolder = ::testing::TempDir(), .settings = tav::test::SharedFolderSettings()}, events);
    station.SetBlockConsumer(&blocks);
    ASSERT_EQ(station.Start(nullptr), 0);
    const int fd = test::ConnectLoopback(station.Port());
    ASSERT_GE(fd, 0);
    ConnectionRecord &rec = station.Table()[0];
    ASSERT_TRUE(test::WaitFor([&] { return rec.InUse(); }));

    // One block and a bit, so that the receive side knows the block size and
    // gathers for the second block.
    std::vector<uint8_t> first = Packets(25, 26667.0f);
    ASSERT_EQ(::send(fd, first.data(), first.size(), 0), ssize_t(first.size()));
    ASSERT_TRUE(test::WaitFor([&] { return rec.packetsParsed.load() == 25; }));
    EXPECT_EQ(rec.blocksCompleted.load(), 1u);

    const uint8_t command[8] = {1, 3, 0, 0, 0, 1, 0, 0};
    std::string error;
    ASSERT_EQ(station.Net().Send(0, command, sizeof command, &error), long(sizeof command));
    uint8_t got[8];
    ASSERT_EQ(::recv(fd, got, sizeof got, MSG_WAITALL), ssize_t(sizeof got));
    std::vector<uint8_t> answer = Packets(2, 26667.0f, 25);
    Append(answer, MakeReply(false, 11, 4));
    ASSERT_EQ(::send(fd, answer.data(), answer.size(), 0), ssize_t(answer.size()));
    ASSERT_TRUE(test::WaitFor([&] { return !events.Of(kSensorReplyEvent).empty(); }));
    EXPECT_EQ(events.Of(kSensorReplyEvent)[0].wParam, 11);
    EXPECT_EQ(rec.packetsParsed.load(), 27u);
    EXPECT_EQ(rec.blocksCompleted.load(), 1u);

    // The rest of the second block, in single packets, still completes it.
    for (int i = 0; i < 17; ++i) {
        std::vector<uint8_t> p = Packets(1, 26667.0f, 27 + uint32_t(i));
        ASSERT_EQ(::send(fd, p.data(), p.size(), 0), ssize_t(p.size()));
    }
    EXPECT_TRUE(test::WaitFor([&] { return rec.blocksCompleted.load() == 2; }));
    EXPECT_EQ(rec.droppedBytes.load(), 0u);
    ::close(fd);
    station.Stop();
    EXPECT_EQ(blocks.sizes, (std::vector<int>{22, 22}));
}
