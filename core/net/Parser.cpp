#include "core/net/Parser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/net/SensorFrame.h"

namespace tav {

namespace {
// A corrupt stream is reported at most once a second per connection, so
// that a sensor sending garbage cannot flood the connection log.
constexpr auto kDropReportInterval = std::chrono::seconds(1);
// Once a block has begun, the parser sleeps until the block is complete, but
// no longer than this: a sensor that pauses mid-block still has its packets
// parsed. (A reply behind some packets does not wait for it: while a reply
// is expected the receive side wakes the parser at every receive.)
constexpr int kBlockLingerMs = 150;

bool IsPrefix(const uint8_t *bytes, uint32_t n, const uint8_t (&marker)[4])
{
    return std::memcmp(bytes, marker, n) == 0;
}
}  // namespace

FrameParser::FrameParser(ConnectionTable &table, EventSink &sink, BlockConsumer *consumer)
    : table_(table), sink_(sink), consumer_(consumer)
{
}

void FrameParser::OnAccepted(ConnectionRecord &rec)
{
    rec.packetIndex = 0;
    if (rec.slotIndex >= 0 && rec.slotIndex < kSlotCount)
        slots_[rec.slotIndex] = SlotState{};
}

void FrameParser::RunParser(ConnectionRecord &rec)
{
    ReceiveRing &ring = rec.ring;
    for (;;) {
        const uint32_t need = ParseAvailable(rec, false);
        if (ring.Closed())
            break;
        // A block is conditioned only once complete, so waking for each of
        // its packets buys nothing: the wait is for the whole block. The
        // first wait is for `need` alone, without a time limit, so an idle
        // sensor costs nothing and a lone reply is taken at once.
        const uint32_t want = BlockRemainder(rec, need);
        ring.SetWanted(want);
        uint32_t available = ring.WaitForData(need);
        if (available < want && AtPacket(ring, available))
            ring.WaitForData(want, kBlockLingerMs);
    }
    // The receiver has stopped: what is in the ring is all there will be.
    ParseAvailable(rec, true);
    FlushDropReport(rec);
}

uint32_t FrameParser::BlockRemainder(const ConnectionRecord &rec, uint32_t need) const
{
    const uint32_t available = rec.ring.Available();
    if (!AtPacket(rec.ring, available) || available >= kPacketSize)
        return need;
    int perBlock = rec.packetsPerBlock.load(std::memory_order_relaxed);
    perBlock = perBlock < 1 ? 1 : perBlock > kMaxPacketsPerBlock ? kMaxPacketsPerBlock : perBlock;
    const int index = rec.packetIndex < 0 || rec.packetIndex >= perBlock ? 0 : rec.packetIndex;
    uint32_t rest = uint32_t(perBlock - index) * kPacketSize;
    const bool displayed = rec.slotIndex == table_.selectedConnection.load(std::memory_order_relaxed);
    rest += uint32_t(BlocksPerWake(perBlock, displayed) - 1) * uint32_t(perBlock) * kPacketSize;
    return rest > need ? rest : need;
}

bool FrameParser::AtPacket(const ReceiveRing &ring, uint32_t available)
{
    const uint32_t have = available < 4 ? available : 4;
    for (uint32_t i = 0; i < have; ++i)
        if (ring.PeekByte(i) != kPacketStartMarker[i])
            return false;
    return true;
}

FrameParser::Match FrameParser::MatchAt(const ReceiveRing &ring, uint32_t offset, uint32_t available)
{
    const uint32_t left = available - offset;
    uint8_t head[4];
    const uint32_t have = left < 4 ? left : 4;
    for (uint32_t i = 0; i < have; ++i)
        head[i] = ring.PeekByte(offset + i);
    const bool packet = IsPrefix(head, have, kPacketStartMarker);
    const bool reply = IsPrefix(head, have, kReadReplyMarker) || IsPrefix(head, have, kWriteReplyMarker);
    if (!packet && !reply)
        return {Kind::kNone, 0};
    if (have < 4)
        return {Kind::kUndecided, offset + 4};
    if (packet) {
        if (left < kPacketSize)
            return {Kind::kUndecided, offset + kPacketSize};
        for (uint32_t i = 0; i < 4; ++i)
            if (ring.PeekByte(offset + kPacketEndOffset + i) != kPacketEndMarker[i])
                return {Kind::kNone, 0};
        return {Kind::kPacket, kPacketSize};
    }
    if (left < kMinReplyLength)
        return {Kind::kUndecided, offset + kMinReplyLength};
    uint32_t length = uint32_t(ring.PeekByte(offset + kReplyLengthOffset)) |
                      (uint32_t(ring.PeekByte(offset + kReplyLengthOffset + 1)) << 8);
    if (length < kMinReplyLength || length > kMaxReplyLength)
        return {Kind::kNone, 0};
    if (left < length)
        return {Kind::kUndecided, offset + length};
    return {Kind::kReply, length};
}

uint32_t FrameParser::ParseAvailable(ConnectionRecord &rec, bool endOfStream)
{
    ReceiveRing &ring = rec.ring;
    for (;;) {
        const uint32_t available = ring.Available();
        if (available == 0)
            return 1;
        Match m = MatchAt(ring, 0, available);
        if (m.kind == Kind::kPacket) {
            TakePacket(rec);
            continue;
        }
        if (m.kind == Kind::kReply) {
            TakeReply(rec, m.length);
            continue;
        }
        if (m.kind == Kind::kUndecided && !endOfStream)
            return m.length;

        // No frame starts here: drop up to the next position where one
        // certainly starts or may still start once more bytes arrive.
        uint32_t skip = 1;
        for (; skip < available; ++skip) {
            if (ring.PeekByte(skip) != 'P')  // every marker begins with 'P'
                continue;
            Match c = MatchAt(ring, skip, available);
            if (c.kind == Kind::kNone || (c.kind == Kind::kUndecided && endOfStream))
                continue;
            break;
        }
        Drop(rec, skip);
    }
}

void FrameParser::TakePacket(ConnectionRecord &rec)
{
    if (rec.packetIndex < 0 || rec.packetIndex >= kMaxPacketsPerBlock)
        rec.packetIndex = 0;
    uint8_t *packet = rec.blockBuffer + uint32_t(rec.packetIndex) * kPacketSize;
    rec.ring.Peek(0, packet, kPacketSize);
    rec.ring.Consume(kPacketSize);
    ReportDropped(rec, false);

    if (rec.packetIndex == 0) {
        // The block's first packet decides the sensor fields and the size of
        // this block; a sampling frequency that cannot be right leaves the
        // last good one (and its block size) in place.
        rec.sensorAddress.store(LoadU32LE(packet + kPacketAddressOffset), std::memory_order_relaxed);
        rec.temperature.store(LoadF32LE(packet + kPacketTemperatureOffset), std::memory_order_relaxed);
        float fs = LoadF32LE(packet + kPacketFrequencyOffset);
        if (UsableSamplingFrequency(fs)) {
            rec.samplingFrequency.store(fs, std::memory_order_relaxed);
            rec.packetsPerBlock.store(PacketsPerBlockFor(fs), std::memory_order_relaxed);
        }
    }
    ++rec.packetIndex;
    // Release: a reader that sees a packet counted sees its address too
    // (the connection list names a sensor only after its first packet).
    rec.packetsParsed.fetch_add(1, std::memory_order_release);

    int perBlock = rec.packetsPerBlock.load(std::memory_order_relaxed);
    if (perBlock < 1 || perBlock > kMaxPacketsPerBlock) {
        perBlock = perBlock < 1 ? 1 : kMaxPacketsPerBlock;
        rec.packetsPerBlock.store(perBlock, std::memory_order_relaxed);
    }
    if (rec.packetIndex >= perBlock)
        CompleteBlock(rec, rec.packetIndex);
}

void FrameParser::CompleteBlock(ConnectionRecord &rec, int packets)
{
    rec.packetIndex = 0;
    {
        // Replay conditions blocks of the same slot on the window thread;
        // the mutex keeps the two from overlapping.
        std::lock_guard lock(rec.conditionMutex);
        rec.currentBuffer = 1;
        rec.blocksReady[1] = 1;
        if (BlockConsumer *consumer = consumer_.load(std::memory_order_acquire))
            consumer->ConditionBlock(rec, rec.blockBuffer, packets);
    }
    rec.blocksCompleted.fetch_add(1, std::memory_order_release);
}

void FrameParser::TakeReply(ConnectionRecord &rec, uint32_t length)
{
    // The window gets its own copy: a later reply may overwrite the slot's
    // buffer before the window has read the event.
    StationEvent event = StationEvent::Make(kSensorReplyEvent, length, rec.slotIndex);
    event.length = uint16_t(length);
    rec.ring.Peek(0, event.data, length);
    rec.ring.Consume(length);
    {
        std::lock_guard lock(rec.replyMutex);
        std::memcpy(rec.replyBuffer, event.data, length);
        rec.replyLength = uint16_t(length);
    }
    rec.repliesParsed.fetch_add(1, std::memory_order_relaxed);
    ReportDropped(rec, false);
    sink_.Post(event);
}

void FrameParser::Drop(ConnectionRecord &rec, uint32_t bytes)
{
    const uint32_t kept = rec.firstJunkLength.load(std::memory_order_relaxed);
    if (kept < uint32_t(ConnectionRecord::kFirstJunkBytes)) {
        const uint32_t n = std::min<uint32_t>(bytes, ConnectionRecord::kFirstJunkBytes - kept);
        rec.ring.Peek(0, rec.firstJunk + kept, n);
        rec.firstJunkLength.store(uint8_t(kept + n), std::memory_order_release);
    }
    rec.ring.Consume(bytes);
    rec.droppedBytes.fetch_add(bytes, std::memory_order_relaxed);
    if (rec.slotIndex >= 0 && rec.slotIndex < kSlotCount)
        slots_[rec.slotIndex].unreportedDrop += bytes;
}

void FrameParser::ReportDropped(ConnectionRecord &rec, bool force)
{
    if (rec.slotIndex < 0 || rec.slotIndex >= kSlotCount)
        return;
    SlotState &s = slots_[rec.slotIndex];
    if (s.unreportedDrop == 0)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!force && s.reported && now - s.lastReport < kDropReportInterval)
        return;
    char text[128];
    std::snprintf(text, sizeof text, "数据失步,连接%d丢弃%llu字节", rec.slotIndex,
                  static_cast<unsigned long long>(s.unreportedDrop));
    sink_.Post(StationEvent::Text(kLogLineEvent, text));
    s.unreportedDrop = 0;
    s.lastReport = now;
    s.reported = true;
}

void FrameParser::FlushDropReport(ConnectionRecord &rec) { ReportDropped(rec, true); }

}  // namespace tav
