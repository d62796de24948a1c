#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numbers>

#include "SimTestSupport.h"
#include "sim/SensorCore.h"

using namespace tav::sim;
using namespace simtest;

namespace {

SensorConfig SineSensor(uint32_t address = 7)
{
    SensorConfig c;
    c.address = address;
    std::string error;
    ParseAxisSignal("159.15hz=1", &c.axes[0], &error);
    return c;
}

// A sensor driven by a clock that the test moves.
struct Rig {
    explicit Rig(const SensorConfig &c) : core(c, stats, 0.0)
    {
        core.SetLog([this](const std::string &l) { log += l + "\n"; });
        core.OnConnected(0.0);
    }
    // Moves the clock to `t` in bursts of 10 ms and returns what was sent.
    Bytes RunTo(double t)
    {
        Bytes out;
        for (; now < t - 1e-12; now = std::min(t, now + 0.010)) {
            core.Advance(now);
            auto b = Drain(core.Output(), stats);
            out.insert(out.end(), b.begin(), b.end());
        }
        core.Advance(t);
        auto b = Drain(core.Output(), stats);
        out.insert(out.end(), b.begin(), b.end());
        now = t;
        return out;
    }
    // Delivers a command and returns the frames sent in reply (replies are
    // due at once unless a delay is configured).
    std::vector<Frame> Command(const Bytes &cmd)
    {
        core.OnReceived(cmd.data(), cmd.size(), now);
        core.Advance(now);
        std::vector<Frame> replies;
        for (auto &f : SplitFrames(Drain(core.Output(), stats)))
            if (f.marker != "PUDT")
                replies.push_back(f);
        return replies;
    }
    size_t Packets(const Bytes &b) const { return SplitFrames(b).size(); }

    SensorStats stats;
    SensorCore core;
    double now = 0.0;
    std::string log;
};

Bytes Hex(std::initializer_list<int> v)
{
    Bytes b;
    for (int x : v)
        b.push_back(uint8_t(x));
    return b;
}

}  // namespace

TEST(SensorPackets, LayoutAndOneGSineContent)
{
    Rig r(SineSensor(7));
    Bytes s = r.RunTo(0.1);
    // 0.1 s at 26667 Hz is 22.99 packets: 22 whole ones are due.
    ASSERT_EQ(s.size(), 22u * 1420);
    auto frames = SplitFrames(s);
    ASSERT_EQ(frames.size(), 22u);
    for (size_t k = 0; k < frames.size(); ++k) {
        const Bytes &p = frames[k].bytes;
        ASSERT_EQ(frames[k].marker, "PUDT");
        EXPECT_EQ(Bytes(p.begin() + 1416, p.end()), Hex({'P', 'E', 'N', 'D'}));
        EXPECT_EQ(Get32(p, 4), 7u);
        EXPECT_EQ(GetFloat(p, 8), 26667.0f);
        EXPECT_EQ(GetFloat(p, 12), 25.0f);
        EXPECT_EQ(Get32(p, 16), k);  // running packet number
        EXPECT_EQ(Get32(p, 20), 0u);
        for (int i = 0; i < 116; ++i) {
            double n = double(k * 116 + size_t(i));
            ASSERT_NEAR(GetFloat(p, 24 + size_t(i) * 12), std::sin(2 * std::numbers::pi * 159.15 * n / 26667.0),
                        1e-5);
            ASSERT_EQ(GetFloat(p, 28 + size_t(i) * 12), 0.0f);
            ASSERT_EQ(GetFloat(p, 32 + size_t(i) * 12), 0.0f);
        }
    }
    EXPECT_EQ(r.stats.packetsSent.load(), 22u);
    EXPECT_EQ(r.stats.bytesSent.load(), 22u * 1420);
}

// With time stamps on, bytes 20..23 carry the steady clock in microseconds
// at sending (the station's latency benchmark compares them with its own
// clock); everything else of the packet stays as it is.
TEST(SensorPackets, TimeStampsCarryTheSteadyClockAtSending)
{
    SensorConfig c = SineSensor(7);
    c.timeStamps = true;
    Rig r(c);
    auto micros = [] {
        return uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count());
    };
    const uint32_t before = micros();
    Bytes s = r.RunTo(0.05);
    const uint32_t after = micros();
    auto frames = SplitFrames(s);
    ASSERT_FALSE(frames.empty());
    for (size_t k = 0; k < frames.size(); ++k) {
        const Bytes &p = frames[k].bytes;
        EXPECT_EQ(Get32(p, 16), k);
        EXPECT_LE(Get32(p, 20) - before, after - before);  // modulo 2^32, as the reader does
    }
}

TEST(SensorPackets, PacedByTheClockInBurstsWithoutBacklogAfterAStall)
{
    Rig r(SineSensor());
    EXPECT_EQ(r.RunTo(1.0).size(), 229u * 1420);
    EXPECT_EQ(r.RunTo(60.0).size(), (13793u - 229u) * 1420);
    // A 10 s stall (no bursts at all): at most half a second is caught up,
    // the rest is counted as skipped, and the packet numbers show the gap.
    r.core.Advance(70.0);
    Bytes after = Drain(r.core.Output(), r.stats);
    size_t sent = after.size() / 1420;
    EXPECT_LE(sent, 116u);
    EXPECT_EQ(r.stats.packetsSkipped.load() + sent, size_t(std::floor(70.0 * 26667 / 116)) - 13793);
    EXPECT_EQ(Get32(SplitFrames(after).back().bytes, 16), uint32_t(std::floor(70.0 * 26667 / 116)) - 1);
}

TEST(SensorPackets, FrequencyChangeMidRunAndDownSampling)
{
    SensorConfig c = SineSensor();
    c.fsChangeAfter = 1.0;
    c.fs2 = 27000.0;
    c.temperature = 41.5f;
    Rig r(c);
    Bytes s = r.RunTo(2.0);
    auto frames = SplitFrames(s);
    EXPECT_EQ(frames.size(), size_t((26667 + 27000) / 116));
    EXPECT_EQ(GetFloat(frames.front().bytes, 8), 26667.0f);
    EXPECT_EQ(GetFloat(frames.back().bytes, 8), 27000.0f);
    EXPECT_EQ(GetFloat(frames.back().bytes, 12), 41.5f);
    EXPECT_NE(r.log.find("27000"), std::string::npos);

    // Down-sampling N = 1 halves the output rate.
    r.Command(WriteSingle(1, 7, 7, 1));
    Bytes half = r.RunTo(3.0);
    EXPECT_NEAR(double(half.size() / 1420), 13500.0 / 116, 1.0);
    EXPECT_EQ(GetFloat(SplitFrames(half).back().bytes, 8), 13500.0f);
}

TEST(SensorRegisters, ReadsAnswerWithTheRegistersByteForByte)
{
    Rig r(SineSensor(7));
    // Communication block: 40 bytes, IPv4 octets in dotted order, port F9 55.
    auto rep = r.Command(ReadRequest(6, 7, 15, 11));
    ASSERT_EQ(rep.size(), 1u);
    EXPECT_EQ(rep[0].bytes, Hex({'P', 'R', 'A', 'S', 40, 0, 6, 0, 7, 0, 3, 0, 15, 0, 0, 0, 11, 0,
                                 0xC0, 0xA8, 1, 20, 255, 255, 255, 0, 0xC0, 0xA8, 1, 1, 0xC0, 0xA8, 1, 1,
                                 0xF9, 0x55, 0xC0, 0xA8, 1, 100}));

    // Parameter block: +-8 g, three axes, mode 0, times, N = 0, filters.
    rep = r.Command(ReadRequest(1, 7, 0, 12));
    ASSERT_EQ(rep.size(), 1u);
    EXPECT_EQ(rep[0].bytes, Hex({'P', 'R', 'A', 'S', 42, 0, 1, 0, 7, 0, 3, 0, 0, 0, 0, 0, 12, 0,
                                 0, 0, 1, 0, 0, 0, 0, 0, 10, 0, 0, 0, 60, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x27, 0, 0}));

    // Version 2 and 20260115, then the 8-character identifier.
    rep = r.Command(ReadRequest(2, 7, 27, 8));
    ASSERT_EQ(rep.size(), 1u);
    EXPECT_EQ(Bytes(rep[0].bytes.begin() + 16, rep[0].bytes.end()),
              Hex({8, 0, 2, 0, 0, 0, 0x13, 0x25, 0x35, 0x01, 'V', 'S', '0', '0', '0', '0', '0', '7'}));

    rep = r.Command(ReadRequest(3, 7, 26, 1));
    EXPECT_EQ(Bytes(rep.at(0).bytes.begin() + 4, rep.at(0).bytes.end()),
              Hex({20, 0, 3, 0, 7, 0, 3, 0, 26, 0, 0, 0, 1, 0, 7, 0}));
    rep = r.Command(ReadRequest(4, 7, 12, 3));
    EXPECT_EQ(Bytes(rep.at(0).bytes.begin() + 16, rep.at(0).bytes.end()), Hex({3, 0, 2, 0x54, 0x56, 0x53, 0, 0}));

    // A read far beyond what a reply may carry is cut to the 200-byte bound.
    rep = r.Command(ReadRequest(5, 7, 0, 500));
    EXPECT_EQ(rep.at(0).bytes.size(), 200u);
    EXPECT_EQ(Get16(rep[0].bytes, 16), 91u);
    EXPECT_EQ(r.stats.commandsReceived.load(), 6u);
    EXPECT_EQ(r.stats.repliesSent.load(), 6u);
}

TEST(SensorRegisters, WritesAreAcknowledgedWithTheirSequenceAndApplied)
{
    Rig r(SineSensor(7));
    auto rep = r.Command(WriteBlock(9, 7, 0, {0, 2, 1, 3, 5, 6, 7, 0, 5, 0, 0xFFFF, 0xFFFF}));
    ASSERT_EQ(rep.size(), 1u);
    EXPECT_EQ(rep[0].bytes, Hex({'P', 'W', 'A', 'S', 16, 0, 9, 0, 7, 0, 16, 0, 0, 0, 12, 0}));
    SensorRegisterMap m = r.core.Registers();
    EXPECT_EQ(m.Get(1), 2u);
    EXPECT_EQ(m.RangeG(), 4.0);
    EXPECT_EQ(m.Get(3), 3u);
    EXPECT_EQ(m.Get32(8), 5u);
    EXPECT_EQ(int32_t(m.Get32(10)), -1);
    EXPECT_TRUE(r.core.Streaming());  // register 0 = 0 in a block is no command

    r.Command(WriteBlock(10, 7, 15, {0xA8C0, 0x3201, 0xFFFF, 0x00FF, 0xA8C0, 0xFE01, 0xA8C0, 0xFE01, 4000, 0x000A,
                                     0x0100}));
    m = r.core.Registers();
    EXPECT_EQ(m.Ipv4(15), "192.168.1.50");
    EXPECT_EQ(m.Ipv4(24), "10.0.0.1");
    EXPECT_EQ(m.Get(23), 4000u);

    r.Command(WriteBlock(11, 7, 31, {'A' | ('B' << 8), 0, 0, 0}));
    EXPECT_EQ(r.core.Registers().DeviceId(), "AB");

    // Lock codes go to registers 27-28 without overwriting the version.
    rep = r.Command(WriteBlock(12, 7, 27, {0x5678, 0x1234}));
    EXPECT_EQ(Get16(rep.at(0).bytes, 6), 12u);
    EXPECT_EQ(r.core.LastLockCode(), 0x12345678u);
    EXPECT_EQ(r.core.Registers().Get32(27), 2u);

    rep = r.Command(WriteSingle(13, 7, 36, 3));
    EXPECT_EQ(rep.at(0).bytes, Hex({'P', 'W', 'A', 'S', 16, 0, 13, 0, 7, 0, 6, 0, 36, 0, 1, 0}));
    EXPECT_EQ(r.core.Registers().Get(36), 3u);
}

TEST(SensorRegisters, NewDeviceAddressShowsInPacketsAndInWhatItAnswers)
{
    Rig r(SineSensor(7));
    r.RunTo(0.05);
    auto rep = r.Command(WriteSingle(1, 7, 26, 42));
    ASSERT_EQ(rep.size(), 1u);
    EXPECT_EQ(r.core.Address(), 42u);
    auto frames = SplitFrames(r.RunTo(0.2));
    ASSERT_FALSE(frames.empty());
    for (auto &f : frames)
        EXPECT_EQ(Get32(f.bytes, 4), 42u);
    // Commands for the old address are no longer this sensor's.
    EXPECT_TRUE(r.Command(ReadRequest(2, 7, 26, 1)).empty());
    EXPECT_EQ(r.stats.badCommands.load(), 1u);
    rep = r.Command(ReadRequest(3, 42, 26, 1));
    EXPECT_EQ(Get16(rep.at(0).bytes, 18), 42u);
    EXPECT_NE(r.log.find("7 -> 42"), std::string::npos);
}

TEST(SensorRegisters, StartStopAndUpgradeMode)
{
    Rig r(SineSensor(7));
    r.RunTo(0.5);
    auto rep = r.Command(WriteSingle(1, 7, 0, 2));
    EXPECT_EQ(rep.size(), 1u);
    EXPECT_FALSE(r.core.Streaming());
    EXPECT_EQ(r.Packets(r.RunTo(1.5)), 0u);
    // Restart: paced from the start command on, not the stopped second's backlog.
    r.Command(WriteSingle(2, 7, 0, 1));
    EXPECT_TRUE(r.core.Streaming());
    EXPECT_EQ(r.Packets(r.RunTo(2.5)), 229u);
    EXPECT_EQ(r.core.Registers().Get(0), 0u);

    rep = r.Command(WriteSingle(3, 7, 0, 0x4D2C));
    ASSERT_EQ(rep.size(), 1u);
    EXPECT_EQ(rep[0].marker, "PWAS");
    EXPECT_EQ(Get16(rep[0].bytes, 6), 3u);
    EXPECT_TRUE(r.core.InUpgradeMode());
    EXPECT_FALSE(r.core.Streaming());
    EXPECT_NE(r.log.find("upgrade mode"), std::string::npos);
    EXPECT_EQ(r.Packets(r.RunTo(3.5)), 0u);
    // Still answers while waiting for the download program.
    EXPECT_EQ(r.Command(ReadRequest(4, 7, 26, 1)).size(), 1u);
}

TEST(SensorRegisters, CommandsSplitOrBackToBackBetweenPacketsAreAllAnswered)
{
    Rig r(SineSensor(7));
    Bytes cmds = ReadRequest(1, 7, 0, 12);
    for (const Bytes &b : {WriteSingle(2, 7, 26, 8), ReadRequest(3, 8, 26, 1)})
        cmds.insert(cmds.end(), b.begin(), b.end());
    Bytes stream;
    // One byte at a time, interleaved with the sensor's own bursts.
    for (size_t i = 0; i < cmds.size(); ++i) {
        r.core.OnReceived(&cmds[i], 1, r.now);
        Bytes b = r.RunTo(r.now + 0.001);
        stream.insert(stream.end(), b.begin(), b.end());
    }
    std::vector<uint16_t> sequences;
    for (auto &f : SplitFrames(stream))
        if (f.marker != "PUDT")
            sequences.push_back(Get16(f.bytes, 6));
    EXPECT_EQ(sequences, (std::vector<uint16_t>{1, 2, 3}));
    // Every packet arrived whole: the stream splits into frames to its end.
    size_t total = 0;
    for (auto &f : SplitFrames(stream))
        total += f.bytes.size();
    EXPECT_EQ(total, stream.size());
}

TEST(SensorRegisters, MalformedCommandsAreIgnored)
{
    Rig r(SineSensor(7));
    Bytes wrongWords = ReadRequest(1, 7, 0, 12);
    wrongWords[10] = 5;
    Bytes wrongFunction = WriteSingle(2, 7, 0, 1);
    wrongFunction[14] = 5;
    Bytes readAsWrite = ReadRequest(3, 7, 0, 12);
    readAsWrite[14] = 16;
    Bytes byteCount = WriteBlock(4, 7, 0, {1, 2});
    byteCount[20] = 3;
    for (const Bytes &b : {wrongWords, wrongFunction, readAsWrite, byteCount})
        EXPECT_TRUE(r.Command(b).empty());
    EXPECT_EQ(r.stats.badCommands.load(), 4u);
    EXPECT_EQ(r.stats.commandsReceived.load(), 0u);
    EXPECT_EQ(r.core.Registers().Get(1), 1u);
}

TEST(SensorReplies, LateNeverWrongCountAndForcedLength)
{
    SensorConfig late = SineSensor(7);
    late.replyDelayMs = 300;
    Rig a(late);
    EXPECT_TRUE(a.Command(ReadRequest(1, 7, 26, 1)).empty());
    Bytes s = a.RunTo(0.29);
    EXPECT_EQ(a.stats.repliesSent.load(), 0u);
    s = a.RunTo(0.31);
    EXPECT_EQ(a.stats.repliesSent.load(), 1u);

    SensorConfig mute = SineSensor(7);
    mute.noReplies = true;
    Rig b(mute);
    EXPECT_TRUE(b.Command(WriteSingle(1, 7, 26, 9)).empty());
    EXPECT_EQ(b.core.Address(), 9u);  // applied all the same

    SensorConfig wrong = SineSensor(7);
    wrong.wrongRegisterCount = true;
    Rig c(wrong);
    auto rep = c.Command(ReadRequest(1, 7, 0, 12));
    ASSERT_EQ(rep.size(), 1u);
    EXPECT_EQ(Get16(rep[0].bytes, 16), 13u);
    EXPECT_EQ(rep[0].bytes.size(), 18u + 26u);

    for (int len : {5, 26, 201}) {
        SensorConfig forced = SineSensor(7);
        forced.replyLength = len;
        Rig d(forced);
        d.core.OnReceived(ReadRequest(1, 7, 0, 12).data(), 24, 0.0);
        d.core.Advance(0.0);
        Bytes out = Drain(d.core.Output(), d.stats);
        EXPECT_EQ(out.size(), size_t(std::max(len, 6)));
        EXPECT_EQ(Get16(out, 4), len);
    }
}

TEST(SensorFaults, CorruptionLosesOnlyTheDamagedPacketsAndIsCounted)
{
    SensorConfig c = SineSensor(7);
    c.corruptRate = 0.3;
    Rig r(c);
    Bytes s = r.RunTo(2.0);
    const uint64_t produced = 459;  // floor(2 x 26667 / 116)
    const uint64_t damaged = r.stats.damagedPackets.load(), junk = r.stats.junkBytesInserted.load();
    EXPECT_GT(damaged, 20u);
    EXPECT_GT(junk, 20u);
    EXPECT_EQ(s.size(), produced * 1420 + junk);
    // Scanning as a resynchronising receiver would: intact packets only.
    uint64_t intact = 0;
    for (size_t i = 0; i + 1420 <= s.size(); ++i)
        if (std::equal(s.begin() + long(i), s.begin() + long(i) + 4, "PUDT") &&
            std::equal(s.begin() + long(i) + 1416, s.begin() + long(i) + 1420, "PEND")) {
            ++intact;
            i += 1419;
        }
    EXPECT_EQ(intact, produced - damaged);
}

TEST(SensorFaults, TruncateChurnGarbageAndSilentPeers)
{
    SensorConfig t = SineSensor(7);
    t.truncate = true;
    t.truncateAfter = 0.5;
    Rig a(t);
    Bytes s = a.RunTo(0.6);
    EXPECT_TRUE(a.core.CloseAfterFlush());
    EXPECT_NE(s.size() % 1420, 0u);
    EXPECT_EQ(a.stats.truncations.load(), 1u);
    EXPECT_EQ(a.stats.packetsSent.load(), s.size() / 1420);

    SensorConfig ch = SineSensor(7);
    ch.churn = true;
    ch.churnPeriod = 1.0;
    Rig b(ch);
    b.RunTo(0.49);
    EXPECT_FALSE(b.core.CloseAfterFlush());
    Bytes bs = b.RunTo(1.6);
    EXPECT_TRUE(b.core.CloseAfterFlush());
    EXPECT_EQ(bs.size() % 1420, 0u);  // churn closes between packets
    EXPECT_EQ(b.stats.churnCloses.load(), 1u);
    b.core.OnDisconnected();
    b.core.OnConnected(b.now);
    EXPECT_FALSE(b.core.CloseAfterFlush());

    SensorConfig g = SineSensor(7);
    g.kind = PeerKind::Garbage;
    Rig c(g);
    EXPECT_EQ(c.RunTo(1.0).size(), 229u * 1420);
    EXPECT_EQ(c.stats.packetsSent.load(), 0u);

    SensorConfig q = SineSensor(7);
    q.kind = PeerKind::Silent;
    Rig d(q);
    EXPECT_TRUE(d.RunTo(1.0).empty());
    EXPECT_TRUE(d.Command(ReadRequest(1, 7, 0, 12)).empty());
}
