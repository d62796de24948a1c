#include "core/steady/SteadyTable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tav {

void CopyRingInTimeOrder(const SteadyRecord &record, int series, float *out)
{
    const float *ring = record.Ring(series);
    const int w = record.writeIndex;
    std::memcpy(out, ring + w, sizeof(float) * size_t(kSteadyHistoryLength - w));
    std::memcpy(out + (kSteadyHistoryLength - w), ring, sizeof(float) * size_t(w));
}

SteadyTable::SteadyTable() : records_(std::make_unique<SteadyRecord[]>(kSteadyRecordCount)) {}

SteadyTable::~SteadyTable()
{
    // Streams left open without "停止" still get their buffered rows.
    for (int i = 0; i < kSteadyRecordCount; ++i)
        if (records_[i].logStream)
            std::fclose(records_[i].logStream);
}

void SteadyTable::Advance(SteadyRecord &record)
{
    if (++record.writeIndex >= kSteadyHistoryLength)
        record.writeIndex = 0;
}

void SteadyTable::ReleaseBinding(int slot)
{
    Binding &b = bindings_[slot];
    if (b.record >= 0)
        records_[b.record].inUse = 0;
    b.record = -1;
}

void SteadyTable::Release(int slot, uint32_t generation)
{
    if (slot < 0 || slot >= kSlotCount)
        return;
    Binding &b = bindings_[slot];
    if (b.record >= 0 && b.generation == generation)
        ReleaseBinding(slot);
    if (b.duplicateGeneration == generation)
        b.duplicateNotified = false;
}

int SteadyTable::BoundRecord(const ConnectionTable &table, int slot) const
{
    if (slot < 0 || slot >= kSlotCount)
        return -1;
    const Binding &b = bindings_[slot];
    const ConnectionRecord &rec = table.records[slot];
    if (b.record < 0 || !rec.InUse() || rec.generation.load() != b.generation)
        return -1;
    return b.record;
}

SteadyTable::BindResult SteadyTable::Bind(int slot, int32_t address, uint32_t generation, SteadyRowSink *log)
{
    Binding &b = bindings_[slot];
    auto take = [&](int i) {
        if (bindObserver_ && records_[i].address != address)
            bindObserver_(i, address, tickCount_);
        records_[i].inUse = 1;
        records_[i].address = address;
        b.record = i;
        b.generation = generation;
    };
    // The sensor's own record first, so that a reconnection continues its history.
    for (int i = 0; i < kSteadyRecordCount; ++i) {
        SteadyRecord &r = records_[i];
        if (r.address != address)
            continue;
        if (r.inUse)
            return BindResult::kDuplicate;  // kept out: the record stays the first sensor's
        take(i);
        return BindResult::kBound;
    }
    for (int i = 0; i < kSteadyRecordCount; ++i)
        if (records_[i].address == 0) {
            take(i);
            return BindResult::kBound;
        }
    for (int i = 0; i < kSteadyRecordCount; ++i) {
        SteadyRecord &r = records_[i];
        if (r.inUse)
            continue;
        // Another sensor takes over a released record: none of the old
        // sensor's values or history may appear under the new address, and
        // its log file is not the newcomer's.
        if (log)
            log->RecordTakenOver(i);
        std::memset(r.current, 0, sizeof r.current);
        r.currentRpm = 0;
        std::memset(r.history, 0, sizeof r.history);
        std::memset(r.rpmHistory, 0, sizeof r.rpmHistory);
        take(i);
        return BindResult::kBound;
    }
    return BindResult::kNoneFree;
}

std::vector<std::string> SteadyTable::Tick(ConnectionTable &table, SteadyRowSink *log)
{
    std::vector<std::string> messages;
    ++tickCount_;
    const int acquisition = table.acquisitionState.load();
    const int selected = table.selectedConnection.load();

    for (int slot = 0; slot < kSlotCount; ++slot) {
        ConnectionRecord &rec = table.records[slot];
        Binding &b = bindings_[slot];
        const bool inUse = rec.InUse();
        const uint32_t generation = rec.generation.load();
        // A binding left by an ended connection is released before anything
        // else, even if its release event is still on its way.
        if (b.record >= 0 && (!inUse || b.generation != generation))
            ReleaseBinding(slot);
        if (b.duplicateNotified && b.duplicateGeneration != generation)
            b.duplicateNotified = false;
        if (!inUse)
            continue;
        const uint32_t address = rec.sensorAddress.load();
        if (address == 0)
            continue;

        if (b.record < 0 && (acquisition == 0 || slot != selected)) {
            BindResult result = Bind(slot, int32_t(address), generation, log);
            if (applyDeviceParameters_)
                applyDeviceParameters_(rec);
            if (result == BindResult::kDuplicate && !b.duplicateNotified) {
                char text[160];
                std::snprintf(text, sizeof text, "传感器地址%d已存在，重复的地址将导致稳态数据显示不正常",
                              int(address));
                messages.emplace_back(text);
                b.duplicateNotified = true;
                b.duplicateGeneration = generation;
            }
        }
        if (b.record < 0)
            continue;

        SteadyRecord &r = records_[b.record];
        WindowStats stats;
        {
            std::lock_guard lock(rec.cond.statsMutex);
            stats = rec.cond.stats;
        }
        const int w = r.writeIndex;
        // Until the connection's first window closes and its first speed
        // estimate is made, those values do not exist: NaN, never a 0 that
        // the history, the alarms and the broker would take as measured.
        const bool measured = stats.windows > 0;
        for (int k = 0; k < 3; ++k) {
            const float values[kSteadyParameterCount] = {
                float(stats.rms[kAcceleration][k]), float(stats.peak[kAcceleration][k]),
                float(stats.kurtosis[k]),
                float(stats.rms[kVelocity][k]),     float(stats.peak[kVelocity][k]),
                float(stats.rms[kDisplacement][k]), float(stats.peak[kDisplacement][k]),
            };
            for (int p = 0; p < kSteadyParameterCount; ++p) {
                r.current[p][k] = measured ? values[p] : NAN;
                r.history[p][k][w] = r.current[p][k];
            }
        }
        r.currentRpm = rec.speedEstimates.load(std::memory_order_acquire) > 0 ? rec.measuredSpeed.load() : NAN;
        r.rpmHistory[w] = r.currentRpm;
        if (log)
            log->WriteRow(b.record);
        Advance(r);
        r.inUse = 1;
    }

    // Records without a connection age with zeros, so that every ring moves
    // one entry per tick and an absence shows as a gap.
    for (int i = 0; i < kSteadyRecordCount; ++i) {
        SteadyRecord &r = records_[i];
        if (r.inUse)
            continue;
        std::memset(r.current, 0, sizeof r.current);
        r.currentRpm = 0;
        const int w = r.writeIndex;
        for (int p = 0; p < kSteadyParameterCount; ++p)
            for (int k = 0; k < 3; ++k)
                r.history[p][k][w] = 0;
        r.rpmHistory[w] = 0;
        Advance(r);
    }
    if (log)
        log->EndTick(&messages);
    return messages;
}

void SteadyTable::ApplyRefill(int record, int32_t address, uint64_t bindTick,
                              const float (*byAge)[kSteadyHistoryLength])
{
    if (record < 0 || record >= kSteadyRecordCount || bindTick == 0 || bindTick > tickCount_)
        return;
    SteadyRecord &r = records_[record];
    if (r.address != address)
        return;
    // Every tick since the binding moved the ring by one entry: `written`
    // entries from the binding's first one on are newer than the refill.
    const uint64_t written = tickCount_ - bindTick + 1;
    if (written >= uint64_t(kSteadyHistoryLength))
        return;
    const int first = int((uint64_t(r.writeIndex) + kSteadyHistoryLength - written) % kSteadyHistoryLength);
    const int ages = kSteadyHistoryLength - int(written);
    for (int series = 0; series < kSteadySeriesCount; ++series) {
        float *ring = r.Ring(series);
        for (int a = 1; a <= ages; ++a)
            ring[(first - a + kSteadyHistoryLength) % kSteadyHistoryLength] = byAge[series][a];
    }
}

}  // namespace tav
