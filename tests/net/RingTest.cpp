#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "core/net/ReceiveRing.h"

using tav::ReceiveRing;

namespace {
std::unique_ptr<ReceiveRing> MakeRing() { return std::make_unique<ReceiveRing>(); }
}  // namespace

TEST(ReceiveRing, WriteEndingExactlyAtTheEndWrapsToZero)
{
    auto ring = MakeRing();
    ring->SetPositionForTest(ReceiveRing::kSize - 1000);
    std::vector<uint8_t> data(1000, 7);
    ASSERT_TRUE(ring->Write(data.data(), 1000));
    EXPECT_EQ(ring->WritePosition(), 0u);
    EXPECT_EQ(ring->Available(), 1000u);
}

TEST(ReceiveRing, CrossingWriteIsSplitWithNoByteLost)
{
    auto ring = MakeRing();
    const uint32_t start = ReceiveRing::kSize - 300;
    ring->SetPositionForTest(start);
    std::vector<uint8_t> data(1420);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + 3);
    ASSERT_TRUE(ring->Write(data.data(), 1420));
    EXPECT_EQ(ring->WritePosition(), start + 1420 - ReceiveRing::kSize);
    std::vector<uint8_t> out(1420);
    ring->Peek(0, out.data(), 1420);
    EXPECT_EQ(out, data);
    ring->Consume(1420);
    EXPECT_EQ(ring->ReadPosition(), 1420 - (ReceiveRing::kSize - start));
    EXPECT_EQ(ring->Available(), 0u);
}

TEST(ReceiveRing, WaitForDataReturnsOnClose)
{
    auto ring = MakeRing();
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ring->Close();
    });
    EXPECT_EQ(ring->WaitForData(1420), 0u);
    EXPECT_TRUE(ring->Closed());
    closer.join();
}

// A long random stream through the real ring, with a reader slower than the
// writer so that the ring runs full: every byte arrives, in order.
TEST(ReceiveRing, FullRingWithSlowReaderLosesNothing)
{
    auto ring = MakeRing();
    const size_t total = 8 * 1024 * 1024;
    uint64_t sentSum = 0, receivedSum = 0;
    size_t received = 0;
    bool inOrder = true;

    std::thread writer([&] {
        std::mt19937 rng(42);
        std::vector<uint8_t> chunk(70000);
        size_t sent = 0;
        uint8_t next = 0;
        while (sent < total) {
            size_t n = std::min<size_t>(1 + rng() % chunk.size(), total - sent);
            for (size_t i = 0; i < n; ++i) {
                chunk[i] = next++;
                sentSum += chunk[i] * uint64_t(sent + i + 1);
            }
            ASSERT_TRUE(ring->Write(chunk.data(), uint32_t(n)));
            sent += n;
        }
    });
    std::thread reader([&] {
        std::mt19937 rng(7);
        std::vector<uint8_t> buf(5000);
        uint8_t expect = 0;
        while (received < total) {
            uint32_t want = 1 + rng() % 5000;
            uint32_t avail = ring->WaitForData(1);
            uint32_t n = std::min(avail, want);
            ring->Peek(0, buf.data(), n);
            for (uint32_t i = 0; i < n; ++i) {
                inOrder &= buf[i] == expect++;
                receivedSum += buf[i] * uint64_t(received + i + 1);
            }
            ring->Consume(n);
            received += n;
            if (rng() % 16 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    writer.join();
    reader.join();
    EXPECT_EQ(received, total);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(sentSum, receivedSum);
}

// The reader names how much it waits for, the writer hands over small pieces
// and wakes it only once that much is there: with random targets and piece
// sizes no wake-up may be lost (a lost one hangs the reader) and nothing
// is read that was not written.
TEST(ReceiveRing, ReaderWaitingForMoreThanEachPieceIsWokenOnceItHasArrived)
{
    auto ring = MakeRing();
    const size_t total = 4 * 1024 * 1024;
    size_t received = 0;
    bool inOrder = true, enough = true;
    std::thread writer([&] {
        std::mt19937 rng(11);
        std::vector<uint8_t> piece(3000);
        uint8_t next = 0;
        for (size_t sent = 0; sent < total;) {
            size_t n = std::min<size_t>(1 + rng() % piece.size(), total - sent);
            for (size_t i = 0; i < n; ++i)
                piece[i] = next++;
            ASSERT_TRUE(ring->Write(piece.data(), uint32_t(n)));
            sent += n;
            if (rng() % 64 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    std::mt19937 rng(5);
    std::vector<uint8_t> buf(40000);
    uint8_t expect = 0;
    while (received < total) {
        uint32_t target = uint32_t(std::min<size_t>(1 + rng() % 40000, total - received));
        uint32_t avail = ring->WaitForData(target);
        enough &= avail >= target;
        uint32_t n = std::min<uint32_t>(avail, uint32_t(buf.size()));
        ring->Peek(0, buf.data(), n);
        for (uint32_t i = 0; i < n; ++i)
            inOrder &= buf[i] == expect++;
        ring->Consume(n);
        received += n;
    }
    writer.join();
    EXPECT_EQ(received, total);
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(enough);
}

TEST(ReceiveRing, WantedHintCountsFromTheReadPositionAcrossTheWrap)
{
    auto ring = MakeRing();
    ring->SetPositionForTest(ReceiveRing::kSize - 100);
    EXPECT_EQ(ring->WantedMore(), 0u);  // no hint yet
    std::vector<uint8_t> data(3000, 1);
    ASSERT_TRUE(ring->Write(data.data(), 1000));
    ring->Consume(400);
    ring->SetWanted(2840);  // from the read position: 600 unread, 2240 to come
    EXPECT_EQ(ring->WantedMore(), 2240u);
    ASSERT_TRUE(ring->Write(data.data(), 2240));
    EXPECT_EQ(ring->WantedMore(), 0u);
    ASSERT_TRUE(ring->Write(data.data(), 10));
    EXPECT_EQ(ring->WantedMore(), 0u);  // passed, not negative
    ring->SetWanted(0);
    EXPECT_EQ(ring->WantedEnd(), 0u);
}

// The receive side's way to hand over a reply at once: a reader waiting for
// far more than has come returns with what is there.
TEST(ReceiveRing, WakeReaderEndsAWaitForMoreThanHasCome)
{
    auto ring = MakeRing();
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint8_t reply[12] = {'P', 'R', 'A', 'S', 12, 0};
        ASSERT_TRUE(ring->Write(reply, sizeof reply));
        ring->WakeReader();
    });
    EXPECT_EQ(ring->WaitForData(31240), 12u);
    writer.join();
    EXPECT_FALSE(ring->Closed());
}

// A commit that leaves the reader asleep (more to follow at once) must still
// wake it when it fills the ring: the writer's next wait is for room only the
// reader can make, and neither would ever move again.
TEST(ReceiveRing, AQuietCommitThatFillsTheRingStillWakesTheReader)
{
    auto ring = MakeRing();
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        uint32_t room = 0;
        ring->WaitForSpace(&room);
        ring->Commit(room - 10, false);  // not full: the reader sleeps on
        ring->WaitForSpace(&room);
        ring->Commit(room, false);  // full
        ring->WaitForSpace(&room);  // returns once the reader has consumed
        ring->Commit(room);
    });
    EXPECT_EQ(ring->WaitForData(ReceiveRing::kSize), ReceiveRing::kSize);
    ring->Consume(100);
    writer.join();
    EXPECT_EQ(ring->Available(), ReceiveRing::kSize);
}
