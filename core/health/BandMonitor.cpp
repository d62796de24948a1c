#include "core/health/BandMonitor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/base/ThreadName.h"
#include "core/net/SensorFrame.h"

namespace tav::health {

namespace {
// A NaN or infinite sample counts as no acceleration, as in the conditioning.
inline float Clean(float f) { return f - f == 0.0f ? f : 0.0f; }
}  // namespace

BandMonitor::BandMonitor(ConnectionTable &table)
    : table_(table), rings_(std::make_unique<Ring[]>(kSlotCount)),
      scratch_(std::make_unique<float[]>(kSlowTransformMax))
{
    for (int slot = 0; slot < kSlotCount; ++slot)
        rings_[slot].data = std::make_unique<float[]>(3 * size_t(kRingCapacity));
    for (Result &r : results_) {
        std::fill(&r.values[0][0], &r.values[0][0] + kMaxBands * 3, NAN);
        std::fill(std::begin(r.slowVelocity), std::end(r.slowVelocity), NAN);
        std::fill(std::begin(r.slowDisplacement), std::end(r.slowDisplacement), NAN);
    }
}

BandMonitor::~BandMonitor() { Stop(); }

void BandMonitor::SetSettings(const std::map<int32_t, MachineSettings> &machines)
{
    std::map<int32_t, Plan> plans;
    for (const auto &[address, m] : machines) {
        Plan p;
        p.count = WatchedBands(m, p.bands);
        p.slow = SlowMachine(m);
        p.averageS = m.severityAverageS;
        if (p.count > 0 || p.slow)
            plans.emplace(address, std::move(p));
    }
    std::lock_guard lock(planMutex_);
    plans_.swap(plans);
}

void BandMonitor::Start()
{
    if (thread_.joinable())
        return;
    {
        std::lock_guard lock(stopMutex_);
        stopRequested_ = false;
    }
    thread_ = std::thread([this] {
        NameThisThread("tav bands");
        Run();
    });
}

void BandMonitor::Stop()
{
    {
        std::lock_guard lock(stopMutex_);
        stopRequested_ = true;
    }
    stopWake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void BandMonitor::Run()
{
    std::unique_lock lock(stopMutex_);
    while (!stopWake_.wait_for(lock, std::chrono::milliseconds(kPeriodMs), [this] { return stopRequested_; })) {
        lock.unlock();
        Pass();
        lock.lock();
    }
}

void BandMonitor::RecordBlock(ConnectionRecord &rec, const uint8_t *data, uint32_t bytes)
{
    const int slot = rec.slotIndex;
    if (slot < 0 || slot >= kSlotCount || !watched_[slot].load(std::memory_order_relaxed))
        return;
    const float fs = rec.samplingFrequency.load(std::memory_order_relaxed);
    const uint32_t generation = rec.generation.load(std::memory_order_relaxed);
    Ring &ring = rings_[slot];
    std::lock_guard lock(ring.ringMutex);
    // Another connection or rate starts the ring afresh: two sensors' or two
    // rates' samples never meet in one transform.
    if (ring.generation != generation || ring.fs != fs) {
        ring.generation = generation;
        ring.fs = fs;
        ring.head = 0;
        ring.written = 0;
    }
    const uint32_t packets = bytes / kPacketSize;
    const int capacity = ring.capacity;
    float *x = ring.data.get(), *y = x + capacity, *z = y + capacity;
    for (uint32_t p = 0; p < packets; ++p) {
        const uint8_t *row = data + size_t(p) * kPacketSize + kPacketSamplesOffset;
        float samples[3 * kSamplesPerPacket];
        std::memcpy(samples, row, sizeof samples);
        int head = ring.head;
        // A packet that reaches the ring's end goes in as two runs.
        for (int i = 0; i < kSamplesPerPacket;) {
            const int run = std::min(kSamplesPerPacket - i, capacity - head);
            for (int k = 0; k < run; ++k, ++i) {
                x[head + k] = Clean(samples[3 * i]);
                y[head + k] = Clean(samples[3 * i + 1]);
                z[head + k] = Clean(samples[3 * i + 2]);
            }
            head = head + run == capacity ? 0 : head + run;
        }
        ring.head = head;
        ring.written += kSamplesPerPacket;
    }
}

void BandMonitor::Read(int slot, uint32_t generation, float (&out)[kMaxBands][3]) const
{
    std::lock_guard lock(resultMutex_);
    const Result *r = slot >= 0 && slot < kSlotCount ? &results_[slot] : nullptr;
    if (r && r->valid && r->generation == generation)
        std::memcpy(out, r->values, sizeof out);
    else
        std::fill(&out[0][0], &out[0][0] + kMaxBands * 3, NAN);
}

void BandMonitor::ReadSlow(int slot, uint32_t generation, float (&velocity)[3], float (&displacementUm)[3]) const
{
    std::lock_guard lock(resultMutex_);
    const Result *r = slot >= 0 && slot < kSlotCount ? &results_[slot] : nullptr;
    for (int axis = 0; axis < 3; ++axis) {
        const bool have = r && r->valid && r->generation == generation;
        velocity[axis] = have ? r->slowVelocity[axis] : NAN;
        displacementUm[axis] = have ? r->slowDisplacement[axis] : NAN;
    }
}

void BandMonitor::Pass()
{
    for (int slot = 0; slot < kSlotCount; ++slot) {
        ConnectionRecord &rec = table_[slot];
        Plan plan;
        bool have = false;
        if (rec.InUse()) {
            const int32_t address = int32_t(rec.sensorAddress.load(std::memory_order_relaxed));
            std::lock_guard lock(planMutex_);
            const auto it = plans_.find(address);
            if (it != plans_.end()) {
                plan = it->second;
                have = true;
            }
        }
        // A slow machine's ring grows here, off the parser threads, and
        // starts afresh; a slot that turns fast keeps it.
        if (have && plan.slow && rings_[slot].capacity < kSlowTransformMax) {
            auto longer = std::make_unique<float[]>(3 * size_t(kSlowTransformMax));
            std::lock_guard lock(rings_[slot].ringMutex);
            rings_[slot].data.swap(longer);
            rings_[slot].capacity = kSlowTransformMax;
            rings_[slot].head = 0;
            rings_[slot].written = 0;
        }
        watched_[slot].store(have, std::memory_order_relaxed);
        if (have) {
            EvaluateSlot(slot, plan);
        } else {
            std::lock_guard lock(resultMutex_);
            results_[slot].valid = false;
        }
    }
}

void BandMonitor::EvaluateSlot(int slot, const Plan &plan)
{
    Ring &ring = rings_[slot];
    float values[kMaxBands][3];
    std::fill(&values[0][0], &values[0][0] + kMaxBands * 3, NAN);
    uint32_t generation;
    float fs;
    uint64_t written;
    {
        std::lock_guard lock(ring.ringMutex);
        generation = ring.generation;
        fs = ring.fs;
        written = ring.written;
    }
    const double rpm = table_[slot].speedEstimates.load(std::memory_order_relaxed) > 0
                           ? table_[slot].measuredSpeed.load(std::memory_order_relaxed)
                           : 0.0;
    const bool fresh = generation != seenGeneration_[slot] || written != seen_[slot];
    float slowVelocity[3] = {NAN, NAN, NAN}, slowDisplacement[3] = {NAN, NAN, NAN};
    if (fs > 0 && fresh && plan.slow)
        EvaluateSlow(slot, plan, fs, written, generation, slowVelocity, slowDisplacement);
    if (fs > 0 && fresh && plan.count > 0) {
        spectrum_.Configure(fs);
        const int n = spectrum_.Length();
        for (int axis = 0; axis < 3 && written >= uint64_t(n); ++axis) {
            if (!CopyNewest(ring, axis, n, generation))
                break;
            spectrum_.Transform(scratch_.get());
            for (int b = 0; b < plan.count; ++b) {
                double low, high;
                if (!BandEdgesHz(plan.bands[b], rpm, spectrum_.LineSpacing(), &low, &high))
                    continue;
                values[b][axis] = float(plan.bands[b].spectrum == tav::BandSpectrum::kVelocity
                                            ? spectrum_.VelocityRms(low, high)
                                            : spectrum_.EnvelopeRms(low, high));
            }
        }
    }
    seen_[slot] = written;
    seenGeneration_[slot] = generation;
    std::lock_guard lock(resultMutex_);
    Result &r = results_[slot];
    r.generation = generation;
    r.valid = true;
    std::memcpy(r.values, values, sizeof values);
    std::memcpy(r.slowVelocity, slowVelocity, sizeof slowVelocity);
    std::memcpy(r.slowDisplacement, slowDisplacement, sizeof slowDisplacement);
}

bool BandMonitor::CopyNewest(Ring &ring, int axis, int n, uint32_t generation)
{
    std::lock_guard lock(ring.ringMutex);
    if (ring.generation != generation || ring.written < uint64_t(n) || n > ring.capacity)
        return false;
    const int capacity = ring.capacity;
    const float *base = ring.data.get() + size_t(axis) * capacity;
    const int start = (ring.head - n + capacity) % capacity;
    const int firstPart = std::min(n, capacity - start);
    std::memcpy(scratch_.get(), base + start, size_t(firstPart) * sizeof(float));
    std::memcpy(scratch_.get() + firstPart, base, size_t(n - firstPart) * sizeof(float));
    return true;
}

void BandMonitor::EvaluateSlow(int slot, const Plan &plan, float fs, uint64_t written, uint32_t generation,
                               float (&velocity)[3], float (&displacement)[3])
{
    // The severity band of a slow machine: 2 Hz up to the top of the
    // ordinary one.
    constexpr double kLowHz = 2.0, kHighHz = 1000.0;
    SlowAverage &avg = slowAverage_[slot];
    if (avg.generation != generation || written < avg.writtenAt) {
        avg.generation = generation;
        avg.writtenAt = 0;
        avg.count = avg.next = 0;
    }
    const int n = SlowTransformLength(fs);
    if (written < uint64_t(n))
        return;
    if (avg.count > 0 && written - avg.writtenAt < uint64_t(n)) {
        // No whole new record yet: the average as it stands.
        std::copy(std::begin(avg.velocity), std::end(avg.velocity), velocity);
        std::copy(std::begin(avg.displacement), std::end(avg.displacement), displacement);
        return;
    }
    slowSpectrum_.Configure(fs, n, false);
    float v2[3], d2[3];
    for (int axis = 0; axis < 3; ++axis) {
        if (!CopyNewest(rings_[slot], axis, n, generation))
            return;
        slowSpectrum_.Transform(scratch_.get());
        const double v = slowSpectrum_.VelocityRms(kLowHz, kHighHz);
        const double d = slowSpectrum_.DisplacementRms(kLowHz, kHighHz);
        v2[axis] = float(v * v);
        d2[axis] = float(d * d);
    }
    avg.writtenAt = written;
    std::copy(std::begin(v2), std::end(v2), avg.velocity2[avg.next]);
    std::copy(std::begin(d2), std::end(d2), avg.displacement2[avg.next]);
    avg.next = (avg.next + 1) % kMaxAverageRecords;
    avg.count = std::min(avg.count + 1, kMaxAverageRecords);
    // The newest records, as many as the average spans and have been made.
    const long span = std::clamp(std::lround(plan.averageS * fs / n), 1L, long(kMaxAverageRecords));
    const int records = std::min(avg.count, int(span));
    for (int axis = 0; axis < 3; ++axis) {
        double sv = 0, sd = 0;
        for (int i = 1; i <= records; ++i) {
            const int at = (avg.next - i + kMaxAverageRecords) % kMaxAverageRecords;
            sv += avg.velocity2[at][axis];
            sd += avg.displacement2[at][axis];
        }
        velocity[axis] = avg.velocity[axis] = float(std::sqrt(sv / records));
        displacement[axis] = avg.displacement[axis] = float(std::sqrt(sd / records));
    }
}

}  // namespace tav::health
