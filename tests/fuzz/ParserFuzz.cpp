// Fuzz target: arbitrary byte streams, with valid packets and replies woven
// in where the input asks for them, go through the real receive ring and
// frame parser in pieces of arbitrary size.
//
// Input: bytes 0-1 choose where in the ring the stream starts (near its end,
// so that frames wrap), byte 2 seeds the piece sizes, the rest is the
// stream. In the stream, 0xF0 followed by an operation byte k inserts a
// frame: k < 0x80 a valid packet (sampling frequency from a table that
// includes implausible values), k < 0xC0 a reply frame of a length from k,
// otherwise a literal 0xF0.
//
// Checked: no crash or undefined behaviour; the parser reads no ring byte
// that has not been written (the ring's free bytes are poisoned); it finds
// the same frames as a plain one-pass reading of the whole stream, however
// the stream is cut, so every valid frame embedded in garbage is found unless
// an earlier frame covers it; blocks have the size their first packet sets,
// within 1..140; replies are 6..200 bytes and reach the window whole; every
// dropped byte is counted and reported.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/net/Parser.h"
#include "core/net/SensorFrame.h"
#include "tests/net/FrameBuilders.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define TAV_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define TAV_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#endif
#endif
#ifndef TAV_POISON
#define TAV_POISON(p, n) ((void)(p), (void)(n))
#define TAV_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

using namespace tav;

namespace {

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

struct Frame {
    uint32_t offset;
    uint32_t length;
    bool packet;
};

// The frames of a whole stream read in one pass: a frame wherever one
// starts, otherwise one byte dropped.
std::vector<Frame> ReadWhole(const std::vector<uint8_t> &s, uint64_t *dropped)
{
    std::vector<Frame> frames;
    *dropped = 0;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t left = s.size() - pos;
        const uint8_t *p = s.data() + pos;
        if (left >= kPacketSize && std::memcmp(p, kPacketStartMarker, 4) == 0 &&
            std::memcmp(p + kPacketEndOffset, kPacketEndMarker, 4) == 0) {
            frames.push_back({uint32_t(pos), kPacketSize, true});
            pos += kPacketSize;
            continue;
        }
        if (left >= kMinReplyLength &&
            (std::memcmp(p, kReadReplyMarker, 4) == 0 || std::memcmp(p, kWriteReplyMarker, 4) == 0)) {
            uint32_t len = LoadU16LE(p + kReplyLengthOffset);
            if (len >= kMinReplyLength && len <= kMaxReplyLength && len <= left) {
                frames.push_back({uint32_t(pos), len, false});
                pos += len;
                continue;
            }
        }
        ++*dropped;
        ++pos;
    }
    return frames;
}

class Sink : public EventSink {
public:
    void Post(const StationEvent &e) override { events.push_back(e); }
    std::vector<StationEvent> events;
};

class Blocks : public BlockConsumer {
public:
    void ConditionBlock(ConnectionRecord &, const uint8_t *block, int packets) override
    {
        CHECK(packets >= 1 && packets <= kMaxPacketsPerBlock);
        sizes.push_back(packets);
        bytes.insert(bytes.end(), block, block + size_t(packets) * kPacketSize);
    }
    std::vector<int> sizes;
    std::vector<uint8_t> bytes;
};

uint64_t Next(uint64_t &state)  // splitmix64
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Enough to wrap the ring and fill many blocks while keeping runs quick.
constexpr uint32_t kMaxInsertedPackets = 200;

const float kFrequencies[8] = {26667.0f, 27000.0f, 1000.0f, 100000.0f, 0.0f,
                               std::numeric_limits<float>::quiet_NaN(), -1.0f, 1e9f};

// Marks ring bytes [from, to) of the stream as unreadable, following the wrap.
void PoisonRange(uint8_t *base, uint64_t start, uint64_t from, uint64_t to)
{
    while (from < to) {
        uint32_t pos = uint32_t((start + from) % ReceiveRing::kSize);
        uint64_t n = std::min<uint64_t>(to - from, ReceiveRing::kSize - pos);
        TAV_POISON(base + pos, n);
        from += n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    static ConnectionTable *table = new ConnectionTable;
    ConnectionRecord &rec = (*table)[0];

    // Build the stream.
    const uint32_t start = (ReceiveRing::kSize - (LoadU16LE(data) % 5000u)) % ReceiveRing::kSize;
    uint64_t rng = data[2] * 0x100000001ull + size;
    std::vector<uint8_t> stream;
    stream.reserve(size + 8 * kPacketSize);
    std::vector<uint32_t> embedded;
    uint32_t inserted = 0;
    for (size_t i = 3; i < size; ++i) {
        if (data[i] != 0xF0) {
            stream.push_back(data[i]);
            continue;
        }
        if (++i == size)
            break;
        uint8_t k = data[i];
        if (k < 0x80 && inserted < kMaxInsertedPackets) {
            embedded.push_back(uint32_t(stream.size()));
            // Packets differ by address; the samples come from a template.
            static const std::vector<std::vector<uint8_t>> templates = [] {
                std::vector<std::vector<uint8_t>> t;
                for (float fs : kFrequencies)
                    t.push_back(tav::testing::MakePacket(0, fs, 20.0f, 1));
                return t;
            }();
            size_t at = stream.size();
            tav::testing::Append(stream, templates[k % 8]);
            StoreU32LE(&stream[at + kPacketAddressOffset], inserted);
            ++inserted;
        } else if (k < 0x80) {
        } else if (k < 0xC0) {
            tav::testing::Append(stream, tav::testing::MakeReply(k & 1, 6 + (k * 7u) % 195, k));
        } else {
            stream.push_back(0xF0);
        }
    }

    // A fresh connection at the chosen ring position.
    rec.ring.Reset();
    rec.ring.SetPositionForTest(start);
    rec.packetIndex = 0;
    rec.currentBuffer = 0;
    rec.blocksReady[0] = rec.blocksReady[1] = 0;
    rec.packetsPerBlock = 23;
    rec.samplingFrequency = 27000.0f;
    rec.sensorAddress = 0;
    rec.packetsParsed = 0;
    rec.droppedBytes = 0;
    rec.blocksCompleted = 0;
    Sink sink;
    Blocks blocks;
    FrameParser parser(*table, sink, &blocks);
    parser.OnAccepted(rec);

    uint32_t room = 0;
    uint8_t *base = rec.ring.WaitForSpace(&room) - start;
    TAV_POISON(base, ReceiveRing::kSize);

    // Feed it in pieces, parsing after each as the woken parser thread would.
    uint64_t written = 0, consumed = 0;
    while (written < stream.size()) {
        uint64_t r = Next(rng);
        static const uint32_t kMaxPiece[5] = {1, 7, 64, 1500, 20000};
        uint32_t piece = 1 + uint32_t((r >> 8) % kMaxPiece[r % 5]);
        piece = uint32_t(std::min<uint64_t>(piece, stream.size() - written));
        while (piece > 0) {
            uint8_t *dst = rec.ring.WaitForSpace(&room);
            CHECK(room > 0);  // the parser leaves less than one frame unread
            uint32_t n = std::min(room, piece);
            TAV_UNPOISON(dst, n);
            std::memcpy(dst, stream.data() + written, n);
            rec.ring.Commit(n);
            written += n;
            piece -= n;
        }
        uint32_t need = parser.ParseAvailable(rec, false);
        CHECK(need > rec.ring.Available() && need <= kPacketSize);
        CHECK(rec.packetIndex >= 0 && rec.packetIndex < kMaxPacketsPerBlock);
        uint64_t nowConsumed = written - rec.ring.Available();
        PoisonRange(base, start, consumed, nowConsumed);
        consumed = nowConsumed;
    }
    parser.ParseAvailable(rec, true);
    parser.FlushDropReport(rec);
    CHECK(rec.ring.Available() == 0);
    TAV_UNPOISON(base, ReceiveRing::kSize);

    // Against the one-pass reading.
    uint64_t dropped = 0;
    std::vector<Frame> frames = ReadWhole(stream, &dropped);
    CHECK(rec.droppedBytes.load() == dropped);

    std::vector<uint8_t> packets = blocks.bytes;
    packets.insert(packets.end(), rec.blockBuffer, rec.blockBuffer + size_t(rec.packetIndex) * kPacketSize);
    std::vector<int> sizes;
    size_t packetAt = 0, replyAt = 0;
    int perBlock = 23, index = 0;
    std::vector<StationEvent> replies;
    uint64_t reported = 0;
    for (const auto &e : sink.events) {
        if (e.type == kSensorReplyEvent)
            replies.push_back(e);
        if (e.type == kLogLineEvent) {
            const char *at = std::strstr(e.text, "丢弃");
            CHECK(at);
            reported += std::strtoull(at + std::strlen("丢弃"), nullptr, 10);
        }
    }
    CHECK(reported == dropped);
    for (const Frame &f : frames) {
        const uint8_t *bytes = stream.data() + f.offset;
        if (f.packet) {
            CHECK(packetAt + kPacketSize <= packets.size());
            CHECK(std::memcmp(packets.data() + packetAt, bytes, kPacketSize) == 0);
            packetAt += kPacketSize;
            if (index == 0 && UsableSamplingFrequency(LoadF32LE(bytes + kPacketFrequencyOffset)))
                perBlock = PacketsPerBlockFor(LoadF32LE(bytes + kPacketFrequencyOffset));
            if (++index >= perBlock) {
                sizes.push_back(index);
                index = 0;
            }
        } else {
            CHECK(replyAt < replies.size());
            const StationEvent &e = replies[replyAt++];
            CHECK(e.wParam == f.length && e.length == f.length && e.lParam == rec.slotIndex);
            CHECK(std::memcmp(e.data, bytes, f.length) == 0);
        }
    }
    CHECK(packetAt == packets.size());
    CHECK(replyAt == replies.size());
    CHECK(sizes == blocks.sizes);
    CHECK(rec.blocksCompleted.load() == sizes.size());
    CHECK(rec.packetsParsed.load() * kPacketSize == packets.size());

    // Every inserted packet is found, unless a frame that began earlier
    // covers its start.
    size_t f = 0;
    for (uint32_t at : embedded) {
        while (f < frames.size() && frames[f].offset + frames[f].length <= at)
            ++f;
        CHECK(f < frames.size() && frames[f].offset <= at);
        CHECK(frames[f].offset < at || frames[f].packet);
    }
    return 0;
}
