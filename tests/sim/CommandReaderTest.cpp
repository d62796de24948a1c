#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "sim/CommandReader.h"
#include "sim/OutputQueue.h"
#include "sim/Pacer.h"

using namespace tav::sim;
using namespace simtest;

namespace {

std::vector<Bytes> ReadAll(CommandReader &r)
{
    std::vector<Bytes> out;
    Bytes f;
    while (r.Next(&f))
        out.push_back(f);
    return out;
}

}  // namespace

TEST(CommandReader, FramesSplitAtAnyPointOrBackToBackComeOutWhole)
{
    Bytes stream = ReadRequest(1, 7, 0, 12);
    Bytes w = WriteBlock(2, 7, 15, {1, 2, 3});
    Bytes s = WriteSingle(3, 7, 0, 1);
    stream.insert(stream.end(), w.begin(), w.end());
    stream.insert(stream.end(), s.begin(), s.end());

    for (size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        size_t cut2 = std::min(stream.size(), cut1 + 7);
        CommandReader r;
        std::vector<Bytes> got;
        for (auto [from, to] : {std::pair{size_t(0), cut1}, {cut1, cut2}, {cut2, stream.size()}}) {
            r.Feed(stream.data() + from, to - from);
            for (auto &f : ReadAll(r))
                got.push_back(f);
        }
        ASSERT_EQ(got.size(), 3u) << "cut at " << cut1;
        EXPECT_EQ(got[0], ReadRequest(1, 7, 0, 12));
        EXPECT_EQ(got[1], w);
        EXPECT_EQ(got[2], s);
        EXPECT_EQ(r.DroppedBytes(), 0u);
    }
}

TEST(CommandReader, ResynchronisesAfterGarbageAndImplausibleFrames)
{
    CommandReader r;
    Bytes stream = {'x', 'P', 'D', 'q', 0, 0};  // 6 bytes of noise, one a lone 'P'
    Bytes badLength = ReadRequest(1, 7, 0, 1);
    badLength[4] = 250;                        // even and in range, but no "PEND" there
    badLength[5] = 0;
    Bytes noEnd = ReadRequest(2, 7, 0, 1);
    noEnd[20] = 'X';                           // end marker damaged
    Bytes good = ReadRequest(3, 7, 26, 1);
    for (const Bytes *b : {&badLength, &noEnd, &good})
        stream.insert(stream.end(), b->begin(), b->end());
    r.Feed(stream.data(), stream.size());
    // The 250-byte claim cannot be settled until 250 bytes are there; more
    // traffic arrives, then the good frame is found.
    auto got = ReadAll(r);
    Bytes more = ReadRequest(4, 7, 36, 1);
    for (int i = 0; i < 12; ++i)
        r.Feed(more.data(), more.size());
    for (auto &f : ReadAll(r))
        got.push_back(f);
    ASSERT_GE(got.size(), 1u);
    EXPECT_EQ(got[0], good);
    EXPECT_EQ(got.size(), 13u);
    EXPECT_EQ(r.DroppedBytes(), 6u + 24u + 24u);
    EXPECT_EQ(r.Pending(), 0u);
}

TEST(CommandReader, RejectsLengthsOutsideTheBoundsAndKeepsAPartialMarker)
{
    CommandReader r;
    Bytes tooShort = ReadRequest(1, 7, 0, 1);
    tooShort[4] = 22;
    Bytes tooLong = ReadRequest(1, 7, 0, 1);
    tooLong[4] = 2;
    tooLong[5] = 1;  // 258
    Bytes stream = tooShort;
    stream.insert(stream.end(), tooLong.begin(), tooLong.end());
    stream.push_back('P');
    stream.push_back('D');
    r.Feed(stream.data(), stream.size());
    EXPECT_TRUE(ReadAll(r).empty());
    EXPECT_EQ(r.Pending(), 2u);  // "PD" may begin the next command
    Bytes rest = ReadRequest(5, 7, 0, 1);
    r.Feed(rest.data() + 2, rest.size() - 2);
    auto got = ReadAll(r);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], rest);
}

TEST(Pacer, CountsWholePacketsDueAndKeepsThemAcrossARateChange)
{
    Pacer p(116);
    p.Start(100.0, 26667.0);
    EXPECT_EQ(p.Due(100.0), 0);
    EXPECT_EQ(p.Due(99.0), 0);  // a clock that steps back owes nothing
    EXPECT_EQ(p.Due(100.0 + 116.0 / 26667.0 * 0.999), 0);
    EXPECT_EQ(p.Due(101.0), 229);  // 26667 / 116 = 229.9
    p.Take(229);
    EXPECT_EQ(p.Due(101.0), 0);
    EXPECT_NEAR(p.NextDueTime(), 100.0 + 230 * 116 / 26667.0, 1e-9);
    EXPECT_EQ(p.Due(160.0), 13793 - 229);  // 60 s: 13793.3 packets in all

    // 1 s at 26667 Hz then 1 s at 27000 Hz: the fraction of the first second
    // carries over into the second.
    Pacer q(116);
    q.Start(0.0, 26667.0);
    q.SetRate(1.0, 27000.0);
    EXPECT_EQ(q.Due(2.0), (26667 + 27000) / 116);
}

TEST(OutputQueue, PartialWritesCountOnlyFinishedFramesAndKeepTheRest)
{
    OutputQueue q;
    SensorStats stats;
    Bytes packet(1420, 1), reply(20, 2), junk(5, 3);
    q.Push(OutputQueue::Kind::Packet, packet.data(), packet.size());
    q.Push(OutputQueue::Kind::Junk, junk.data(), junk.size());
    q.Push(OutputQueue::Kind::Reply, reply.data(), reply.size());
    q.Push(OutputQueue::Kind::Packet, packet.data(), packet.size());

    // A socket that takes 1000 bytes per call, then would block.
    Bytes out;
    long budget = 0;
    auto write = [&](const iovec *iov, int count) -> long {
        long n = 0;
        for (int i = 0; i < count && n < budget; ++i) {
            auto *p = static_cast<const uint8_t *>(iov[i].iov_base);
            size_t take = std::min<size_t>(iov[i].iov_len, size_t(budget - n));
            out.insert(out.end(), p, p + take);
            n += long(take);
        }
        budget -= n;
        return n;
    };
    budget = 1000;
    ASSERT_TRUE(q.Flush(write, &stats));
    EXPECT_EQ(stats.packetsSent.load(), 0u);
    budget = 1000;
    ASSERT_TRUE(q.Flush(write, &stats));
    EXPECT_EQ(stats.packetsSent.load(), 1u);
    EXPECT_EQ(stats.repliesSent.load(), 1u);
    EXPECT_EQ(q.Bytes(), 2865u - 2000u);
    budget = 100000;
    ASSERT_TRUE(q.Flush(write, &stats));
    EXPECT_TRUE(q.Empty());
    EXPECT_EQ(stats.packetsSent.load(), 2u);
    EXPECT_EQ(stats.bytesSent.load(), 2865u);
    Bytes expected = packet;
    for (const Bytes *b : {&junk, &reply, &packet})
        expected.insert(expected.end(), b->begin(), b->end());
    EXPECT_EQ(out, expected);
    // A failing socket is reported.
    q.Push(OutputQueue::Kind::Packet, packet.data(), packet.size());
    EXPECT_FALSE(q.Flush([](const iovec *, int) { return -1L; }, &stats));
}
