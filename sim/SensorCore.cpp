#include "sim/SensorCore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "sim/WireFormat.h"

namespace tav::sim {

namespace {

// Above this many unwritten bytes the station is not keeping up; like a real
// sensor with a small buffer, the simulator then drops packets instead of
// queueing without end.
constexpr size_t kMaxQueuedBytes = 256 * 1024;
// After a stall (the process was stopped, the machine was busy) at most this
// much backlog is produced at once (less than the queue bound, so the
// newest packets go out); the rest is counted as skipped.
constexpr double kMaxCatchUpSeconds = 0.5;

}  // namespace

SensorCore::SensorCore(const SensorConfig &config, SensorStats &stats, double startTime)
    : config_(config),
      stats_(stats),
      regs_(SensorRegisterMap::Defaults(config.address, config.index, config.port)),
      gen_(config.axes, config.rpm, config.seed * 2654435761u + 17u),
      pacer_(kSamplesPerPacket),
      rng_(config.seed),
      startTime_(startTime),
      baseFs_(config.fs),
      address_(config.address),
      samples_(size_t(kSamplesPerPacket) * 3),
      packet_(kPacketSize)
{
}

double SensorCore::SamplingFrequency() const
{
    return baseFs_ / (double(regs_.Get(SensorRegisterMap::kDownsampling)) + 1.0);
}

void SensorCore::Log(const std::string &line) const
{
    if (log_)
        log_(line);
}

double SensorCore::NextChurnLifetime()
{
    std::uniform_real_distribution<double> d(0.5, 1.5);
    return config_.churnPeriod * d(rng_);
}

void SensorCore::OnConnected(double now)
{
    connected_ = true;
    closing_ = false;
    commands_.Reset();
    out_.Clear();
    replies_.clear();
    pacer_.Start(now, SamplingFrequency());
    closeAt_ = now + NextChurnLifetime();
    truncateAt_ = now + config_.truncateAfter;
}

void SensorCore::OnDisconnected()
{
    connected_ = false;
    closing_ = false;
    out_.Clear();
    replies_.clear();
    commands_.Reset();
}

void SensorCore::StartStream(double now)
{
    pacer_.Start(now, SamplingFrequency());
}

void SensorCore::BuildPacket(uint8_t *p)
{
    if (config_.driftPerMinute != 0) {
        gen_.SetSineGain(std::clamp(1.0 + config_.driftPerMinute * signalSeconds_ / 60.0, 0.0, kMaxDriftGain));
        signalSeconds_ += kSamplesPerPacket / SamplingFrequency();
    }
    gen_.Generate(samples_.data(), kSamplesPerPacket, SamplingFrequency(), regs_.RangeG());
    if (gain_ != 1.0)
        for (float &x : samples_)
            x = static_cast<float>(x * gain_);
    std::memcpy(p, "PUDT", 4);
    PutU32(p + 4, address_);
    PutF32(p + 8, float(SamplingFrequency()));
    PutF32(p + 12, config_.temperature);
    // The eight bytes the station does not interpret carry a running packet
    // number, which makes gaps visible in captures and tests.
    PutU32(p + 16, packetNumber_++);
    // Packets go out in the burst that builds them, so the build time is the
    // send time to within a burst's writing.
    uint32_t stamp = 0;
    if (config_.timeStamps)
        stamp = uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count());
    PutU32(p + 20, stamp);
    uint8_t *s = p + kSamplesOffset;
    for (size_t i = 0; i < samples_.size(); ++i)
        PutF32(s + 4 * i, samples_[i]);
    std::memcpy(p + kEndMarkerOffset, "PEND", 4);
}

void SensorCore::OnReceived(const uint8_t *data, size_t len, double now)
{
    // Garbage and silent peers only pretend to be sensors: they read and
    // ignore what the station sends.
    if (config_.kind != PeerKind::Sensor)
        return;
    commands_.Feed(data, len);
    while (commands_.Next(&frame_))
        HandleCommand(frame_, now);
    uint64_t dropped = commands_.DroppedBytes();
    uint64_t counted = stats_.commandBytesDropped.load(std::memory_order_relaxed);
    if (dropped > counted)
        Bump(stats_.commandBytesDropped, dropped - counted);
}

void SensorCore::HandleCommand(const std::vector<uint8_t> &f, double now)
{
    const size_t len = f.size();
    const bool isRead = HasMarker(f.data(), "PDRT");
    const uint16_t seq = GetU16(&f[6]);
    const uint16_t words = GetU16(&f[10]);
    const uint16_t target = GetU16(&f[12]);
    const uint16_t function = GetU16(&f[14]);
    const uint16_t first = GetU16(&f[16]);
    const uint16_t second = GetU16(&f[18]);

    auto reject = [&](const char *why) {
        Bump(stats_.badCommands);
        char buf[160];
        std::snprintf(buf, sizeof buf, "ignored a %zu-byte command (sequence %u): %s", len, seq, why);
        Log(buf);
    };
    if (words != (len - 16) / 2)
        return reject("word count does not match the length");
    if (target != uint16_t(address_))
        return reject("addressed to another sensor");

    if (isRead) {
        if (function != kFunctionRead || len != 24)
            return reject("not a read request");
        Bump(stats_.commandsReceived);
        int count = std::min<int>(second, kMaxReadCount);
        int reported = config_.wrongRegisterCount ? count + 1 : count;
        std::vector<uint8_t> r(kReadReplyHeader + 2 * size_t(reported), 0);
        std::memcpy(r.data(), "PRAS", 4);
        PutU16(&r[4], uint16_t(r.size()));
        // Bytes 6..15 are not interpreted by the station; they echo the
        // request (sequence, address, function, first register) so that a
        // capture shows what was answered.
        PutU16(&r[6], seq);
        PutU16(&r[8], uint16_t(address_));
        PutU16(&r[10], function);
        PutU16(&r[12], first);
        PutU16(&r[16], uint16_t(reported));
        for (int i = 0; i < reported; ++i)
            PutU16(&r[kReadReplyHeader + 2 * size_t(i)], regs_.Get(first + i));
        return QueueReply(std::move(r), now);
    }

    int registers = 0;
    if (function == kFunctionWriteSingle) {
        if (len != 24)
            return reject("single write of the wrong length");
        Bump(stats_.commandsReceived);
        ApplyWrite(first, second, now);
        registers = 1;
    } else if (function == kFunctionWriteBlock) {
        const size_t n = second;
        if (len != 26 + 2 * n || GetU16(&f[20]) != 2 * n)
            return reject("block write whose count, byte count and length disagree");
        Bump(stats_.commandsReceived);
        // The lock codes share registers 27-28 with the version words: a
        // write there sets the lock, it does not change the version.
        if (first == SensorRegisterMap::kVersion && n == 2) {
            lockCode_ = uint32_t(GetU16(&f[22])) | (uint32_t(GetU16(&f[24])) << 16);
            char buf[80];
            std::snprintf(buf, sizeof buf, "lock code 0x%08X written", lockCode_);
            Log(buf);
        } else {
            for (size_t i = 0; i < n; ++i)
                ApplyWrite(int(first + i), GetU16(&f[22 + 2 * i]), now);
        }
        registers = int(n);
    } else {
        return reject("unknown function");
    }

    std::vector<uint8_t> r(kWriteReplySize, 0);
    std::memcpy(r.data(), "PWAS", 4);
    PutU16(&r[4], uint16_t(r.size()));
    PutU16(&r[6], seq);
    PutU16(&r[8], target);
    PutU16(&r[10], function);
    PutU16(&r[12], first);
    PutU16(&r[14], uint16_t(registers));
    QueueReply(std::move(r), now);
}

void SensorCore::ApplyWrite(int reg, uint16_t value, double now)
{
    char buf[160];
    switch (reg) {
    case SensorRegisterMap::kCommand:
        // Register 0 is an action, not a setting: it always reads 0.
        if (value == SensorRegisterMap::kStartAcquisition) {
            if (!Streaming())
                StartStream(now);
            streaming_ = true;
            upgradeMode_ = false;
            Log("acquisition started");
        } else if (value == SensorRegisterMap::kStopAcquisition) {
            streaming_ = false;
            Log("acquisition stopped");
        } else if (value == SensorRegisterMap::kEnterUpgrade) {
            upgradeMode_ = true;
            Log("entered upgrade mode (streaming stopped; waiting for the download program)");
        }
        return;
    case SensorRegisterMap::kDownsampling:
        regs_.Set(reg, value);
        pacer_.SetRate(now, SamplingFrequency());
        std::snprintf(buf, sizeof buf, "down-sampling N=%u, now %.1f Hz", value, SamplingFrequency());
        Log(buf);
        return;
    case SensorRegisterMap::kDeviceAddress:
        regs_.Set(reg, value);
        if (value != address_) {
            std::snprintf(buf, sizeof buf, "device address %u -> %u", address_, value);
            Log(buf);
        }
        address_ = value;
        return;
    case SensorRegisterMap::kVersion + 2:
    case SensorRegisterMap::kVersion + 3:
    case 35:
        return;  // read-only
    default:
        regs_.Set(reg, value);
        return;
    }
}

void SensorCore::QueueReply(std::vector<uint8_t> reply, double now)
{
    if (config_.noReplies)
        return;
    if (config_.replyLength >= 0) {
        size_t want = std::max<size_t>(size_t(config_.replyLength), 6);
        reply.resize(want, 0);
        PutU16(&reply[4], uint16_t(config_.replyLength));
    }
    replies_.push_back({now + config_.replyDelayMs / 1000.0, std::move(reply)});
}

void SensorCore::Advance(double now)
{
    if (config_.fsChangeAfter >= 0 && config_.fs2 > 0 && !fsChanged_ &&
        now - startTime_ >= config_.fsChangeAfter) {
        fsChanged_ = true;
        baseFs_ = config_.fs2;
        pacer_.SetRate(now, SamplingFrequency());
        char buf[80];
        std::snprintf(buf, sizeof buf, "sampling frequency now %.1f Hz", SamplingFrequency());
        Log(buf);
    }
    if (!connected_)
        return;

    while (!replies_.empty() && replies_.front().due <= now) {
        const auto &r = replies_.front().bytes;
        out_.Push(OutputQueue::Kind::Reply, r.data(), r.size());
        replies_.pop_front();
    }
    if (closing_)
        return;

    if (config_.kind == PeerKind::Silent)
        return;
    if (config_.kind == PeerKind::Garbage)
        return ProduceGarbage(now);

    if (config_.churn && now >= closeAt_) {
        closing_ = true;
        Bump(stats_.churnCloses);
        return;
    }
    if (Streaming())
        ProducePackets(now);
    if (config_.truncate && now >= truncateAt_) {
        BuildPacket(packet_.data());
        std::uniform_int_distribution<size_t> cut(1, kPacketSize - 1);
        out_.Push(OutputQueue::Kind::Partial, packet_.data(), cut(rng_));
        closing_ = true;
        Bump(stats_.truncations);
    }
}

void SensorCore::ProducePackets(double now)
{
    int64_t due = pacer_.Due(now);
    const int64_t cap = int64_t(SamplingFrequency() * kMaxCatchUpSeconds / kSamplesPerPacket) + 1;
    if (due > cap) {
        Bump(stats_.packetsSkipped, uint64_t(due - cap));
        packetNumber_ += uint32_t(due - cap);
        pacer_.Take(due - cap);
        due = cap;
    }
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    for (int64_t i = 0; i < due; ++i) {
        pacer_.Take(1);
        BuildPacket(packet_.data());
        if (out_.Bytes() > kMaxQueuedBytes) {
            Bump(stats_.packetsSkipped);
            continue;
        }
        if (config_.corruptRate > 0 && chance(rng_) < config_.corruptRate) {
            if (rng_() % 2 == 0) {
                // Junk never contains 'P', so it cannot fake the start of a frame.
                uint8_t junk[16];
                size_t n = 1 + rng_() % sizeof junk;
                for (size_t k = 0; k < n; ++k) {
                    junk[k] = uint8_t(rng_());
                    if (junk[k] == 'P')
                        junk[k] = 'Q';
                }
                out_.Push(OutputQueue::Kind::Junk, junk, n);
                Bump(stats_.junkBytesInserted, n);
            } else {
                // Flipping a marker byte makes the damage detectable: the
                // station loses exactly this packet.
                static const size_t kMarkerBytes[8] = {0, 1, 2, 3, 1416, 1417, 1418, 1419};
                packet_[kMarkerBytes[rng_() % 8]] ^= 0x20;
                Bump(stats_.damagedPackets);
            }
        }
        out_.Push(OutputQueue::Kind::Packet, packet_.data(), kPacketSize);
    }
}

void SensorCore::ProduceGarbage(double now)
{
    int64_t due = std::min<int64_t>(pacer_.Due(now), 64);
    pacer_.Take(pacer_.Due(now));
    for (int64_t i = 0; i < due && out_.Bytes() <= kMaxQueuedBytes; ++i) {
        for (auto &b : packet_)
            b = uint8_t(rng_());
        out_.Push(OutputQueue::Kind::Junk, packet_.data(), packet_.size());
    }
}

}  // namespace tav::sim
