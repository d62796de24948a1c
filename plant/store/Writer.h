#pragma once
// The writer thread: takes the rows the subscriber parsed, writes them to
// PostgreSQL about once per batch interval, builds the aggregates and runs
// the retention. While the database is away (restarting, disk full) rows
// wait in memory up to [database] buffer_rows; beyond that the oldest are
// dropped, counted and logged. The connection comes back by itself with a
// growing pause between tries.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "plant/config/PlantConfig.h"
#include "plant/ingest/Message.h"
#include "plant/store/Store.h"

namespace tav::plant {

struct WriterCounters {
    std::atomic<int64_t> stored{0};      // rows new to the tables
    std::atomic<int64_t> duplicates{0};  // rows already there (redeliveries, re-sent buffers)
    std::atomic<int64_t> dropped{0};     // rows lost to the buffer's bound
    std::atomic<int64_t> expired{0};     // rows older than the retention, not written
    std::atomic<int64_t> refusedByDatabase{0};
};

class Writer {
public:
    explicit Writer(const PlantConfig &config);
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Told, on the writer's thread and after the commit, of the alarm events
    // each write stored for the first time. Set before Start; must not wait.
    using AlarmSink = std::function<void(std::vector<StoredAlarm> &&)>;
    void SetAlarmSink(AlarmSink sink) { alarmSink_ = std::move(sink); }

    void Start();
    // Writes what is buffered, waiting up to `flushMs` for the database,
    // then ends the thread; what is still unwritten is logged as lost.
    void Stop(int flushMs);
    // Any thread. Never waits on the database.
    void Push(std::vector<Row> &&rows);

    int64_t Buffered() const { return buffered_.load(); }
    bool DatabaseUp() const { return databaseUp_.load(); }
    WriterCounters counters;
    // Called on the writer's thread after each batch is committed (live
    // pages follow it); set before Start, must return at once.
    std::function<void()> committed;

private:
    void Run();
    // Waits up to `ms`, or less when stopping or when rows pile up.
    void Pause(int ms);
    // Waits `ms` between tries of an absent database.
    void Backoff(int ms);

    const PlantConfig &config_;
    std::mutex mutex_;  // guards pending_, stopping_ and stopDeadline_
    std::condition_variable wake_;
    std::deque<Row> pending_;
    bool stopping_ = false;
    int64_t stopDeadlineMs_ = 0;
    int64_t lastDropLogMs_ = 0;
    std::atomic<int64_t> buffered_{0};
    std::atomic<int64_t> inflight_{0};
    std::atomic<bool> databaseUp_{false};
    AlarmSink alarmSink_;
    std::thread thread_;
};

int64_t NowUtcMs();

}  // namespace tav::plant
