// Raw captures around alarms: the file holds exactly the packets the sensor
// sent in the window, under its final name only when complete.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "CaptureSender.h"
#include "core/alarm/AlarmCaptureCodec.h"

namespace tav {
namespace {

using namespace tav::test;

struct Rig {
    std::string folder;
    Sender sensor;
    std::unique_ptr<AlarmCapture> capture;

    explicit Rig(const std::string &name, double pre = 2, double post = 1.5, double onDelay = 3)
    {
        folder = ::testing::TempDir() + "/" + name;
        std::string rm = "rm -rf '" + folder + "'";
        EXPECT_EQ(std::system(rm.c_str()), 0);
        capture = std::make_unique<AlarmCapture>(folder);
        capture->SetClock([this] { return sensor.now; });
        MachineSettings m;
        m.address = 5;
        m.onDelayS = onDelay;
        capture->SetSettings({pre, post}, {{5, m}});
        capture->OnSteadySnapshot(SnapshotOf(sensor.now, 5, 3, 7));
        capture->Pump(sensor.now);
    }
    // Sends for `seconds`, with the capture thread's step every 500 ms.
    void Run(double seconds)
    {
        for (int i = 0; i < int(seconds * 10); ++i) {
            sensor.now += 100;
            sensor.Block(*capture);
            if (sensor.now % 500 == 0)
                capture->Pump(sensor.now);
        }
    }
};

TEST(AlarmCapture, FileHoldsExactlyThePacketsSentInTheWindow)
{
    Rig rig("capture-exact");
    rig.Run(12);  // longer than the ring (2 + 3 + 0.5 s): it has wrapped
    const int64_t first = rig.sensor.now - 3000;  // the limit was first exceeded 3 s ago
    const int64_t active = rig.sensor.now;
    const std::string path = rig.capture->RequestCapture(5, 3, 7, first, active);
    ASSERT_FALSE(path.empty());
    rig.capture->Pump(rig.sensor.now);  // the request wakes the capture thread
    EXPECT_EQ(path, rig.folder + "/" + CaptureBaseName(5, active) + ".vdat");
    EXPECT_EQ(CaptureBaseName(5, active).size(), 4u + 1 + 14);
    rig.Run(1.0);
    EXPECT_FALSE(std::ifstream(path).good()) << "written before the window ended";
    rig.Run(1.0);
    const auto outcomes = rig.capture->TakeOutcomes();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].ok) << outcomes[0].message;
    EXPECT_EQ(outcomes[0].message, "");

    const std::string expected = rig.sensor.SentBetween(first - 2000, active + 1500);
    EXPECT_EQ(expected.size(), size_t(kPacketBytes) * kPacketsPerBlock * 66);  // 6.5 s of blocks, both ends in
    const std::string got = ReadAll(path);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "capture differs from the packets sent";

    // Its CSV: the header and one line per sample.
    const std::string csv = ReadAll(path.substr(0, path.size() - 5) + ".csv");
    size_t lines = 0;
    for (char c : csv)
        lines += c == '\n';
    EXPECT_EQ(lines, 1 + expected.size() / kPacketBytes * 116);
    EXPECT_FALSE(std::ifstream(path + ".part").good());

    // Not again within a minute for this sensor; never for a slot not armed.
    rig.Run(1);
    EXPECT_EQ(rig.capture->RequestCapture(5, 3, 7, rig.sensor.now - 3000, rig.sensor.now), "");
    EXPECT_EQ(rig.capture->RequestCapture(6, 4, 1, rig.sensor.now - 3000, rig.sensor.now), "");
    rig.Run(60);
    EXPECT_NE(rig.capture->RequestCapture(5, 3, 7, rig.sensor.now - 3000, rig.sensor.now), "");
}

// An on-delay the ring cannot follow is refused at load; the longest allowed keeps
// the whole pre-trigger, and a capture lacking part of it is marked so.
// The ring keeps packets packed: whatever the samples (noise, changes of
// sign, NaNs, one sample far off), and however packed and unpacked packets
// fall across its chunks as it wraps, the file is what the sensor sent.
TEST(AlarmCapture, PackedRingGivesBackEveryPacketByteForByte)
{
    const std::function<uint32_t(uint32_t, int, int)> patterns[] = {
        [](uint32_t s, int r, int a) { return (s * 2654435761u) ^ uint32_t(r * 40503 + a) * 2246822519u; },
        [](uint32_t s, int r, int a) { return (r % 2 ? 0x80000000u : 0u) | (0x3e000000u + s * 977 + uint32_t(r * 3 + a)); },
        [](uint32_t s, int r, int a) { return r == int(s % 116) ? 0x7fc00001u + uint32_t(a) : 0x3f800000u + uint32_t(r); },
        [](uint32_t s, int r, int a) {
            // Packets that pack and packets that do not, in turns.
            const uint32_t noise = (s * 2654435761u) ^ uint32_t(r * 40503 + a) * 2246822519u;
            return s % 7 < 3 ? noise : 0x3d000000u + (noise & 0xfffu);
        },
    };
    for (const auto &pattern : patterns) {
        Rig rig("capture-packed");
        rig.sensor.bits = pattern;
        rig.Run(14);  // the ring (6.5 s) wraps twice
        const int64_t first = rig.sensor.now - 3000, active = rig.sensor.now;
        const std::string path = rig.capture->RequestCapture(5, 3, 7, first, active);
        rig.Run(2);
        ASSERT_EQ(rig.capture->TakeOutcomes().size(), 1u);
        EXPECT_TRUE(ReadAll(path) == rig.sensor.SentBetween(first - 2000, active + 1500));
        EXPECT_GT(rig.capture->RingBytes(), 0u);
    }
}

// Packed alone, packets whose differences have each width from 0 to 32 (on
// one axis all alike, on one with far jumps among them, on one any width but
// the widest last) come back byte for byte, the same on four lanes and on
// eight, with the width the first axis calls for.
TEST(AlarmCapture, PackerTakesEveryWidthAlikeOnFourLanesAndEight)
{
    std::mt19937 rng(7);
    for (int w = 0; w <= 32; ++w) {
        uint8_t packet[kPacketSize];
        for (uint8_t &b : packet)
            b = uint8_t(rng());
        for (int a = 0; a < 3; ++a) {
            uint32_t v = LoadU32LE(packet + kPacketSamplesOffset + 4 * a);
            for (int i = 1; i < kSamplesPerPacket; ++i) {
                const int width = a < 2 ? w : i + 1 < kSamplesPerPacket ? int(rng() % 32) : 32;
                uint32_t z = width == 0 ? 0 : (1u << (width - 1)) | uint32_t((rng() & 0xffffffffu) >> (33 - width));
                if (a == 1 && i % 29 == 0)
                    z = uint32_t(rng()) | 0x80000000u;
                v += (z >> 1) ^ (0u - (z & 1u));
                StoreU32LE(packet + kPacketSamplesOffset + 4 * (3 * i + a), v);
            }
        }
        uint8_t packed[2][kMaxPackedPacketBytes], back[kPacketSize];
        uint32_t bytes[2];
        for (int lanes = 0; lanes < 2; ++lanes) {
            UseBaselinePacking(lanes == 0);
            bytes[lanes] = PackPacket(packet, packed[lanes]);
            ASSERT_TRUE(UnpackPacket(packed[lanes], bytes[lanes], back)) << w;
            EXPECT_EQ(std::memcmp(back, packet, kPacketSize), 0) << w;
        }
        UseBaselinePacking(false);
        ASSERT_EQ(bytes[0], bytes[1]) << w;
        EXPECT_EQ(std::memcmp(packed[0], packed[1], bytes[0]), 0) << w;
        if (packed[0][0] != 0) {  // packed, not kept as it is
            EXPECT_EQ(packed[0][1 + kPacketSamplesOffset + 4 + 4], w);
        }
    }
}

TEST(AlarmCapture, LongOnDelayIsRefusedAndACaptureSaysWhatItKept)
{
    std::vector<std::string> messages;
    const StationSettings s =
        ParseStationSettings("[capture]\npre_s = 5\n[sensor.5]\non_delay_s = 20\n", "station.toml", &messages);
    EXPECT_EQ(s.sensors.at(5).onDelayS, 14.0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("第4行"), std::string::npos) << messages[0];

    for (const double age : {25.0, 3.0}) {  // seconds the ring has been filling
        Rig rig("capture-lead", 5, 1, 14);
        rig.Run(age);
        const int64_t trigger = rig.sensor.now - 14000, active = rig.sensor.now;
        const std::string path = rig.capture->RequestCapture(5, 3, 7, trigger, active);
        rig.Run(1.5);
        const auto outcomes = rig.capture->TakeOutcomes();
        ASSERT_EQ(outcomes.size(), 1u);
        const bool whole = age > 20;  // else the ring was armed after the window's start
        EXPECT_EQ(outcomes[0].complete, whole) << outcomes[0].message;
        EXPECT_EQ(ReadAll(path).size(), rig.sensor.SentBetween(trigger - 5000, active + 1000).size());
        const std::string side = ReadAll(CaptureSidePath(path));
        EXPECT_NE(side.find("trigger_utc_ms=" + std::to_string(trigger) + "\r\n"), std::string::npos) << side;
        EXPECT_NE(side.find(whole ? "pre_trigger_s=5.000" : "pre_trigger_s=0.000"), std::string::npos) << side;
        EXPECT_NE(side.find(whole ? "complete=true" : "complete=false"), std::string::npos) << side;
    }
}

TEST(AlarmCapture, ConnectionEndingCutsTheCaptureShortAndSaysSo)
{
    Rig rig("capture-ended");
    rig.Run(6);
    const std::string path = rig.capture->RequestCapture(5, 3, 7, rig.sensor.now - 3000, rig.sensor.now);
    rig.Run(0.5);
    // The sensor leaves: its ring is released; what was captured is written.
    SteadySnapshot none;
    none.utcMs = rig.sensor.now;
    rig.capture->OnSteadySnapshot(none);
    rig.capture->Pump(rig.sensor.now);
    auto outcomes = rig.capture->TakeOutcomes();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].ok);
    EXPECT_NE(outcomes[0].message.find("不完整"), std::string::npos);
    EXPECT_EQ(ReadAll(path).size(), size_t(outcomes[0].packets) * kPacketBytes);
    EXPECT_EQ(rig.capture->RingBytes(), 0u);

    // A new connection in the slot (another generation) is not captured
    // until the tick arms a ring for it.
    rig.sensor.rec.generation = 8;
    rig.Run(1);
    EXPECT_EQ(rig.capture->RequestCapture(5, 3, 8, rig.sensor.now - 3000, rig.sensor.now), "");
}

TEST(AlarmCapture, FullDiskKeepsTheRawFileThatFitsAndNoTornFile)
{
    Rig rig("capture-fail");
    // A file where the folder should be: the folder cannot be made.
    std::ofstream(rig.folder) << "not a folder";
    rig.Run(6);
    const std::string path = rig.capture->RequestCapture(5, 3, 7, rig.sensor.now - 3000, rig.sensor.now);
    ASSERT_FALSE(path.empty());
    rig.Run(2);
    auto outcomes = rig.capture->TakeOutcomes();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].ok);
    EXPECT_NE(outcomes[0].message.find(path), std::string::npos);
    struct stat st;
    EXPECT_NE(::stat(path.c_str(), &st), 0);
    ::unlink(rig.folder.c_str());

    // The disk filling up halfway through the file: writes beyond 64 KB
    // fail as they would on a full disk (the process's file size limit).
    rig.Run(61);
    const std::string full = rig.capture->RequestCapture(5, 3, 7, rig.sensor.now - 3000, rig.sensor.now);
    ASSERT_FALSE(full.empty());
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    rig.Run(2);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    outcomes = rig.capture->TakeOutcomes();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].ok);
    EXPECT_NE(outcomes[0].message.find(full), std::string::npos) << outcomes[0].message;
    const std::string csv = full.substr(0, full.size() - 5) + ".csv";
    EXPECT_NE(::stat(full.c_str(), &st), 0) << "a torn capture under its final name";
    EXPECT_NE(::stat(csv.c_str(), &st), 0) << "a torn CSV under its final name";
    EXPECT_NE(::stat((full + ".part").c_str(), &st), 0) << "the partial file was left behind";
    EXPECT_NE(::stat(CaptureSidePath(full).c_str(), &st), 0) << "a side file without its capture";
    // Room for the raw file but not its far longer CSV: the raw file is kept.
    rig.Run(61);
    const int64_t active = rig.sensor.now;
    const std::string kept = rig.capture->RequestCapture(5, 3, 7, active - 3000, active);
    small.rlim_cur = size_t(kPacketBytes) * kPacketsPerBlock * 66 + 1;
    ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    rig.Run(2);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    outcomes = rig.capture->TakeOutcomes();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].ok && outcomes[0].message.find("CSV") != std::string::npos) << outcomes[0].message;
    EXPECT_TRUE(ReadAll(kept) == rig.sensor.SentBetween(active - 5000, active + 1500));
    // What a kill in the middle of a capture leaves is gone at the next start.
    const std::string torn = rig.folder + "/0005_20261209134034";
    std::ofstream(torn + ".vdat.part") << "torn";
    std::ofstream(torn + ".txt") << "address=5";
    AlarmCapture next(rig.folder);
    next.Start();
    next.Stop();
    EXPECT_NE(::stat((torn + ".vdat.part").c_str(), &st), 0);
    EXPECT_NE(::stat((torn + ".txt").c_str(), &st), 0);
    EXPECT_EQ(::stat(CaptureSidePath(kept).c_str(), &st), 0);
}

}  // namespace
}  // namespace tav
