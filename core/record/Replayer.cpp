#include "core/record/Replayer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/record/VdatFormat.h"

namespace tav {

namespace {
constexpr int kMaxStepPackets = int(kBlockBufferSize / kPacketBytes);  // what a block may hold

std::string Format2(double seconds)
{
    char text[64];
    std::snprintf(text, sizeof text, "%0.2f", seconds);
    return text;
}
}  // namespace

int ReplayStepPackets(float fs)
{
    if (!UsableFs(fs))
        return 22;
    double step = std::trunc(double(fs) * (kReplayTickMs / 1000.0) / kSamplesPerPacket + 0.5);
    if (step < 1)
        return 1;
    if (step > kMaxStepPackets)
        return kMaxStepPackets;
    return int(step);
}

Replayer::Replayer(Recorder &recorder, BlockConsumer *consumer)
    : recorder_(recorder),
      table_(recorder.Table()),
      consumer_(consumer),
      block_(std::make_unique<uint8_t[]>(size_t(kMaxStepPackets) * kPacketBytes))
{
}

bool Replayer::Start()
{
    int idle = 0;
    if (!table_.acquisitionState.compare_exchange_strong(idle, 2))
        return false;
    const uint8_t *data = recorder_.GlobalData();
    fileFs_ = 0;
    fileAddress_ = 0;
    if (data && recorder_.RecordedLength() >= kPacketBytes) {
        fileFs_ = PacketFs(data);
        fileAddress_ = PacketAddress(data);
    }
    stepPackets_ = ReplayStepPackets(fileFs_);
    return true;
}

ReplayTick Replayer::Tick()
{
    ReplayTick tick;
    if (table_.acquisitionState.load() != 2)
        return tick;
    const uint8_t *data = recorder_.GlobalData();
    const uint32_t length = recorder_.RecordedLength();

    int slot = table_.selectedConnection.load();
    if (slot < 0 || slot >= kSlotCount) {
        // Nothing selected: the replay is shown on slot 0 as if a sensor
        // with the file's address were connected there.
        slot = 0;
        table_.selectedConnection = 0;
        ConnectionRecord &rec = table_.records[0];
        uint32_t address = data && length >= kPacketBytes ? PacketAddress(data) : 0;
        rec.sensorAddress = address;
        char line[64];
        std::snprintf(line, sizeof line, "%3d : 地址:%d", 0, int(address));
        tick.listLine = line;
    }
    ConnectionRecord &rec = table_.records[slot];
    if (borrowed_.slot != slot) {
        Finish();  // the operator chose another slot: the first gets its own back
        Borrow(rec, slot);
    }

    std::atomic<uint32_t> &position = recorder_.GlobalPosition();
    const uint32_t pos = position.load();
    const uint32_t stepBytes = uint32_t(stepPackets_) * kPacketBytes;
    if (data && uint64_t(pos) + stepBytes < length && !recorder_.Paused()) {
        std::memcpy(block_.get(), data + pos, stepBytes);
        position = pos + stepBytes;
        const float fs = PacketFs(block_.get());
        // The conditioning follows the replayed sensor's rate, as it follows
        // a live sensor's through its packets.
        if (UsableFs(fs))
            rec.samplingFrequency = fs;
        if (consumer_) {
            std::lock_guard lock(rec.conditionMutex);
            consumer_->ConditionBlock(rec, block_.get(), stepPackets_);
        }
        tick.stepped = true;
        const uint32_t now = pos + stepBytes;
        tick.percent = int(double(now) / double(length) * 100.0);
        const float shownFs = UsableFs(fileFs_) ? fileFs_ : fs;
        if (UsableFs(shownFs)) {
            tick.replayedText = Format2(RecordingSeconds(now, shownFs));
            tick.totalText = Format2(RecordingSeconds(length, shownFs));
        }
    } else if (!recorder_.Paused()) {
        recorder_.StopAcquisition();
        Finish();
        tick.stopped = true;
    }
    return tick;
}

void Replayer::Borrow(ConnectionRecord &rec, int slot)
{
    std::lock_guard lock(rec.conditionMutex);  // the processing thread reads the band under it
    borrowed_.slot = slot;
    borrowed_.generation = rec.generation.load();
    borrowed_.address = rec.sensorAddress.load();
    borrowed_.ratedSpeed = rec.ratedSpeed.load();
    borrowed_.ratedFrequency = rec.ratedFrequency.load();
    borrowed_.upper = rec.upperSearchLimit.load();
    borrowed_.lower = rec.lowerSearchLimit.load();
    borrowed_.speed = rec.measuredSpeed.load();
    borrowed_.speedFromRecord = rec.speedFromRecord.load();
    // The replayed machine's band: that of a fresh connection, then its
    // device record if it has one, as when a sensor of that address binds.
    ResetSpeedBand(rec);
    rec.speedFromRecord = 0;
    rec.cond.captureCount = 0;
    if (fileAddress_ != 0) {
        rec.sensorAddress = fileAddress_;
        if (speedBandFn_)
            speedBandFn_(rec);
    }
}

void Replayer::Finish()
{
    if (borrowed_.slot < 0)
        return;
    ConnectionRecord &rec = table_.records[borrowed_.slot];
    borrowed_.slot = -1;
    std::lock_guard lock(rec.conditionMutex);
    // A sensor accepted into the slot meanwhile has been given its own.
    if (rec.generation.load() != borrowed_.generation)
        return;
    rec.sensorAddress = borrowed_.address;
    rec.ratedSpeed = borrowed_.ratedSpeed;
    rec.ratedFrequency = borrowed_.ratedFrequency;
    rec.upperSearchLimit = borrowed_.upper;
    rec.lowerSearchLimit = borrowed_.lower;
    rec.measuredSpeed = borrowed_.speed;
    rec.speedFromRecord = borrowed_.speedFromRecord;
    rec.cond.captureCount = 0;
}

void Replayer::Reposition(int percent)
{
    if (table_.acquisitionState.load() != 2 || !recorder_.Paused())
        return;
    if (percent < 0)
        percent = 0;
    if (percent > 100)
        percent = 100;
    const uint64_t packets = recorder_.RecordedLength() / kPacketBytes;
    recorder_.GlobalPosition() = uint32_t(packets * uint64_t(percent) / 100 * kPacketBytes);
}

}  // namespace tav
