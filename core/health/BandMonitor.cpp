#include "core/health/BandMonitor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/net/SensorFrame.h"

namespace tav::health {

namespace {
// A NaN or infinite sample counts as no acceleration, as in the conditioning.
inline float Clean(float f) { return f - f == 0.0f ? f : 0.0f; }
}  // namespace

BandMonitor::BandMonitor(ConnectionTable &table)
    : table_(table), rings_(std::make_unique<Ring[]>(kSlotCount)), scratch_(std::make_unique<float[]>(kRingCapacity))
{
    for (int slot = 0; slot < kSlotCount; ++slot)
        rings_[slot].data = std::make_unique<float[]>(3 * size_t(kRingCapacity));
    for (Result &r : results_)
        std::fill(&r.values[0][0], &r.values[0][0] + kMaxBands * 3, NAN);
}

BandMonitor::~BandMonitor() { Stop(); }

void BandMonitor::SetSettings(const std::map<int32_t, MachineSettings> &machines)
{
    std::map<int32_t, Plan> plans;
    for (const auto &[address, m] : machines) {
        Plan p;
        p.count = WatchedBands(m, p.bands);
        if (p.count > 0)
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
    thread_ = std::thread([this] { Run(); });
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
    float *x = ring.data.get(), *y = x + kRingCapacity, *z = y + kRingCapacity;
    for (uint32_t p = 0; p < packets; ++p) {
        const uint8_t *row = data + size_t(p) * kPacketSize + kPacketSamplesOffset;
        float samples[3 * kSamplesPerPacket];
        std::memcpy(samples, row, sizeof samples);
        int head = ring.head;
        // A packet that reaches the ring's end goes in as two runs.
        for (int i = 0; i < kSamplesPerPacket;) {
            const int run = std::min(kSamplesPerPacket - i, kRingCapacity - head);
            for (int k = 0; k < run; ++k, ++i) {
                x[head + k] = Clean(samples[3 * i]);
                y[head + k] = Clean(samples[3 * i + 1]);
                z[head + k] = Clean(samples[3 * i + 2]);
            }
            head = head + run == kRingCapacity ? 0 : head + run;
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
    if (fs > 0 && fresh) {
        spectrum_.Configure(fs);
        const int n = spectrum_.Length();
        for (int axis = 0; axis < 3 && written >= uint64_t(n); ++axis) {
            {
                std::lock_guard lock(ring.ringMutex);
                if (ring.generation != generation || ring.written < uint64_t(n))
                    break;
                const float *base = ring.data.get() + size_t(axis) * kRingCapacity;
                const int start = (ring.head - n + kRingCapacity) % kRingCapacity;
                const int firstPart = std::min(n, kRingCapacity - start);
                std::memcpy(scratch_.get(), base + start, size_t(firstPart) * sizeof(float));
                std::memcpy(scratch_.get() + firstPart, base, size_t(n - firstPart) * sizeof(float));
            }
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
}

}  // namespace tav::health
