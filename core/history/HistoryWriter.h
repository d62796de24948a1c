#pragma once
// The station's history writer: takes every steady-state snapshot on the
// window thread (a fixed-size copy into a preallocated queue, no waiting) and
// stores it on a thread of its own, one transaction per batch, at most about
// ten seconds behind (kHistoryCommitEveryMs).
//
// It also takes every alarm event (the engine's listener, window thread) into
// a second preallocated queue and stores it in the alarm log at once, with
// the snapshots queued by then.
//
// Faults never reach acquisition: a full or unwritable disk is said once and
// retried until it works again, snapshots beyond the queue are counted and
// dropped, a file SQLite cannot use is moved aside and a new one started, a
// stored run that does not unpack is skipped and told, and a second station
// in the same folder is kept out by a lock.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/model/AlarmTypes.h"
#include "core/model/SteadySnapshot.h"
#include "core/net/EventSink.h"
#include "core/settings/StationSettings.h"

namespace tav {

class HistoryStore;

// How often the writer commits what has queued: what a killed station may
// lose of its history.
constexpr int kHistoryCommitEveryMs = 10000;

struct HistoryWriterOptions {
    std::string dataFolder;        // history.sqlite and its lock go here
    HistorySettings settings;
    int queueCapacity = 120;       // snapshots: a minute of ticks
    int alarmQueueCapacity = 1024; // alarm events; the engine limits a flapping sensor's
    // Tests and benchmarks fill years in seconds: the producer then waits
    // for room instead of dropping. Never set in the station.
    bool waitWhenFull = false;
};

// Entries of a record's 60-minute rings from before its binding, by age.
struct HistoryRefill {
    int record = -1;
    int32_t address = 0;
    uint64_t bindTick = 0;
    // byAge[series][a]: the entry a ticks before the binding's first entry; 0 = none.
    float byAge[kSteadySeriesCount][kSteadyHistoryLength] = {};
};

class HistoryWriter : public SteadySnapshotConsumer, public AlarmListener {
public:
    HistoryWriter(const HistoryWriterOptions &options, EventSink &sink);
    ~HistoryWriter() override;
    HistoryWriter(const HistoryWriter &) = delete;
    HistoryWriter &operator=(const HistoryWriter &) = delete;

    // Takes the folder's lock and starts the thread, which opens the file.
    // False (with a message for the operator) when another station in the
    // same folder writes the history. Window thread.
    bool Start();
    // Stores what is queued and joins the thread. Window thread.
    void Stop();

    // Window thread: copies the snapshot into the queue and returns.
    void OnSteadySnapshot(const SteadySnapshot &snapshot) override;
    // Window thread: copies the event into the alarm queue and returns (no
    // allocation while its texts fit the room reserved for them).
    void OnAlarmEvent(const AlarmEvent &event) override;
    // Window thread: the capture at `path` could not be kept; the events
    // stored or queued that name it are corrected after them, in order.
    void OnCaptureLost(const std::string &path, const std::string &note);
    // Window thread, during the tick: `record` now belongs to `address`;
    // its rings are refilled from the file (TakeRefill, a later tick).
    void RecordBound(int record, int32_t address, uint64_t bindTick);
    // Window thread: a finished refill, or null.
    std::unique_ptr<HistoryRefill> TakeRefill();

    // Waits until every snapshot and alarm event handed over so far is stored, or given up
    // because the file cannot be written. Not on the window thread.
    void Flush();

    uint64_t Dropped() const { return dropped_.load(); }
    uint64_t DroppedAlarmEvents() const { return droppedAlarms_.load(); }
    bool Failing() const { return failing_.load(); }
    std::string DatabasePath() const;
    // Tests: a page limit makes the disk "full"; 0 lifts it.
    void SetMaxPageCount(int64_t pages);

private:
    struct RefillRequest {
        int record;
        int32_t address;
        uint64_t bindTick;
        int64_t bindUtcMs;
    };

    void Run();
    bool OpenDatabase();
    void MoveAside(const std::string &why);
    void Message(const std::string &text);
    void LogLine(const std::string &text);
    void ServeRefills();
    void ReportDamage();

    HistoryWriterOptions options_;
    EventSink &sink_;
    std::unique_ptr<HistoryStore> store_;  // writer thread only
    std::thread thread_;
    int lockFd_ = -1;

    // queueMutex_ guards the ring, the counters and the requests below.
    std::mutex queueMutex_;
    std::condition_variable wake_;      // the writer: work or stop
    std::condition_variable progress_;  // Flush and a waiting producer
    std::unique_ptr<SteadySnapshot[]> ring_;
    int capacity_ = 0;
    int head_ = 0;
    int size_ = 0;
    uint64_t pushed_ = 0;
    uint64_t done_ = 0;  // stored or given up
    bool stop_ = false;
    int flushWaiters_ = 0;
    RefillRequest requests_[kSteadyRecordCount] = {};
    int requestCount_ = 0;
    std::unique_ptr<AlarmEvent[]> alarmRing_;
    int alarmCapacity_ = 0;
    int alarmHead_ = 0;
    int alarmSize_ = 0;
    uint64_t alarmPushed_ = 0;
    uint64_t alarmDone_ = 0;

    // Window thread only: bindings seen during the current tick.
    RefillRequest binds_[kSteadyRecordCount] = {};
    int bindCount_ = 0;

    std::mutex refillMutex_;  // guards refills_
    std::vector<std::unique_ptr<HistoryRefill>> refills_;

    // Writer thread only: runs found not to unpack, each told once.
    std::set<std::tuple<int, int32_t, int64_t, int64_t>> damageTold_;

    std::unique_ptr<SteadySnapshot[]> batch_;  // writer thread only
    std::unique_ptr<AlarmEvent[]> alarmBatch_;  // writer thread only
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> droppedAlarms_{0};
    std::atomic<bool> failing_{false};
    std::atomic<int64_t> maxPageCount_{-1};  // -1 = unchanged
};

}  // namespace tav
