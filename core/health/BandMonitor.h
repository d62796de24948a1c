#pragma once
// Watches every sensor's bands about once a second: the parser threads keep
// each watched slot's newest acceleration in a ring of its own (one short
// lock, no allocation), and the monitor's thread takes the newest transform
// length of each, computes the band values (health/BandAnalyser) at the
// measured speed, and keeps them for the steady tick, which hands them on
// in its snapshot to the history, the alarms and the broker.
//
// A band has no value (NaN) while its sensor has not sent a transform's
// length since the last pass, when an order band has no speed, and before
// the first pass of a connection.
//
// A slow machine's slot (SlowMachine) gets a longer ring, made on the
// monitor's thread, and its 2 Hz - 1 kHz velocity and displacement RMS on
// the long transform of SlowTransformLength, each time a whole new record
// of that length has come in (records do not overlap: every sample counts
// once, and the transforms cost a third of what one a second would), kept
// between records and averaged in mean square over the sensor's
// severity_average_s (whole records, at least one); NaN like a band's.
//
// Threads: RecordBlock on parser threads; SetSettings and Read on the
// window thread; Pass on the monitor's thread (or a test's while it is not
// running).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "core/health/BandAnalyser.h"
#include "core/net/BlockConsumer.h"
#include "core/net/ConnectionTable.h"
#include "core/model/MachineSettings.h"

namespace tav::health {

class BandMonitor : public RecordingSink {
public:
    static constexpr int kRingCapacity = 16384;  // per axis: the longest transform
    static constexpr int kPeriodMs = 1000;

    // The table must outlive the monitor; the rings are made here.
    explicit BandMonitor(ConnectionTable &table);
    ~BandMonitor() override;  // stops
    BandMonitor(const BandMonitor &) = delete;
    BandMonitor &operator=(const BandMonitor &) = delete;

    void SetSettings(const std::map<int32_t, MachineSettings> &machines);
    void Start();
    void Stop();

    void RecordBlock(ConnectionRecord &rec, const uint8_t *data, uint32_t bytes) override;
    // The latest values of the connection `generation` in `slot`; all NaN
    // when there are none for it.
    void Read(int slot, uint32_t generation, float (&out)[kMaxBands][3]) const;
    // A slow machine's latest averaged severity velocity (mm/s) and
    // displacement (µm) over 2 Hz - 1 kHz; all NaN for a fast one.
    void ReadSlow(int slot, uint32_t generation, float (&velocity)[3], float (&displacementUm)[3]) const;
    // One evaluation of every watched slot.
    void Pass();

private:
    struct Ring {
        std::mutex ringMutex;  // the slot's parser appends, the monitor copies
        std::unique_ptr<float[]> data;  // 3 x capacity
        int capacity = kRingCapacity;
        int head = 0;
        uint64_t written = 0;
        uint32_t generation = 0;
        float fs = 0;
    };
    struct Plan {
        int count = 0;
        WatchedBand bands[kMaxBands];
        bool slow = false;
        double averageS = kDefaultSeverityAverageS;
    };
    struct Result {
        uint32_t generation = 0;
        bool valid = false;
        float values[kMaxBands][3];
        float slowVelocity[3], slowDisplacement[3];
    };
    // A slow slot's latest records' mean squares, for its average, and the
    // average as it stands.
    static constexpr int kMaxAverageRecords = 60;
    struct SlowAverage {
        uint32_t generation = 0;
        uint64_t writtenAt = 0;  // ring's count at the last record taken
        int count = 0, next = 0;
        float velocity2[kMaxAverageRecords][3];
        float displacement2[kMaxAverageRecords][3];
        float velocity[3], displacement[3];
    };

    void Run();
    void EvaluateSlot(int slot, const Plan &plan);
    // The slot's newest `n` samples of `axis` into scratch_; false when the
    // ring no longer holds them for `generation`.
    bool CopyNewest(Ring &ring, int axis, int n, uint32_t generation);
    void EvaluateSlow(int slot, const Plan &plan, float fs, uint64_t written, uint32_t generation,
                      float (&velocity)[3], float (&displacement)[3]);

    ConnectionTable &table_;
    std::unique_ptr<Ring[]> rings_;
    std::atomic<bool> watched_[kSlotCount] = {};

    mutable std::mutex planMutex_;  // guards plans_
    std::map<int32_t, Plan> plans_;

    mutable std::mutex resultMutex_;  // guards results_
    Result results_[kSlotCount];

    // Monitor thread's own.
    BandAnalyser spectrum_;
    BandAnalyser slowSpectrum_;
    std::unique_ptr<float[]> scratch_;  // kSlowTransformMax
    SlowAverage slowAverage_[kSlotCount];
    uint64_t seen_[kSlotCount] = {};    // written at the last evaluation
    uint32_t seenGeneration_[kSlotCount] = {};

    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    bool stopRequested_ = false;  // guarded by stopMutex_
    std::thread thread_;
};

}  // namespace tav::health
