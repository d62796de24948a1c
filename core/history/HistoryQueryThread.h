#pragma once
// The reader thread of the history viewer and of the alarm window's log: the
// queries wait on disk, so they run here, on a HistoryReader of this thread's
// own, and every answer goes to the owner through `deliver`, called on this
// thread (the dialog posts it to itself as an event). A series or alarm log
// query replaces one of its kind still waiting: only the newest choice is
// worth reading.
//
// Threads: the Request functions are for the owner's thread; `deliver` runs
// on the query thread and must not block. The destructor waits for a query
// under way to end.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/history/HistoryAlarmLog.h"
#include "core/history/HistoryReader.h"

namespace tav {

struct HistoryQuery {
    uint64_t request = 0;  // the owner's number for it, handed back
    int32_t address = 0;
    int64_t fromUtcMs = 0;
    int64_t toUtcMs = 0;
    HistoryResolution resolution = HistoryResolution::kRaw;
};

struct HistoryAnswer {
    enum Kind { kSensors, kSeries, kExport, kAlarmLog, kAlarmExport } kind = kSeries;
    bool ok = false;
    std::string error;  // for the operator when !ok
    HistoryQuery query;
    std::vector<HistorySensorSummary> sensors;  // kSensors
    HistorySeries series;                       // kSeries
    std::string exportPath;                     // kExport, kAlarmExport
    // kAlarmLog: the events in the filter's range, in time order; whether the
    // row cap left older ones out; every address with alarm events.
    AlarmLogFilter alarmFilter;
    std::shared_ptr<const std::vector<AlarmEvent>> alarms;
    bool alarmsTruncated = false;
    std::vector<int32_t> alarmAddresses;
    double elapsedMs = 0;                       // the reading or writing alone
};

class HistoryQueryThread {
public:
    using Deliver = std::function<void(std::unique_ptr<HistoryAnswer>)>;

    HistoryQueryThread(std::string databasePath, Deliver deliver);
    ~HistoryQueryThread();
    HistoryQueryThread(const HistoryQueryThread &) = delete;
    HistoryQueryThread &operator=(const HistoryQueryThread &) = delete;

    // The sensors in the database, with their first and last times.
    void RequestSensors();
    void RequestSeries(const HistoryQuery &query);
    // Writes `data` of sensor `address` to `path` as the history's CSV
    // export (GBK, CR LF; UTF-8 when `utf8`).
    void RequestExport(std::shared_ptr<const HistorySeries> data, int32_t address, std::string path, bool utf8);

    // The alarm log within `filter`; `request` comes back in query.request.
    // Replaces an alarm log query still waiting.
    void RequestAlarmLog(uint64_t request, const AlarmLogFilter &filter);
    // Writes `data` to `path` as the alarm log's CSV, under a temporary
    // name first, so that `path` is whole or untouched.
    void RequestAlarmExport(std::shared_ptr<const std::vector<AlarmEvent>> data, std::string path, bool utf8);

    // Requests taken but not yet answered (any thread; tests and benchmarks).
    int Outstanding() const;

    // Tests: runs on every query thread before each database read, so that
    // a test can hold a query under way. Null = none. Any thread.
    static void SetBeforeReadHook(std::function<void()> hook);

private:
    struct ExportJob {
        std::shared_ptr<const HistorySeries> data;
        std::shared_ptr<const std::vector<AlarmEvent>> alarms;  // set for an alarm log export
        int32_t address = 0;
        std::string path;
        bool utf8 = false;
    };
    void Run();
    bool OpenReader(std::string *error);
    std::unique_ptr<HistoryAnswer> AnswerSensors();
    std::unique_ptr<HistoryAnswer> AnswerSeries(const HistoryQuery &query);
    std::unique_ptr<HistoryAnswer> AnswerExport(const ExportJob &job);
    std::unique_ptr<HistoryAnswer> AnswerAlarmLog(uint64_t request, const AlarmLogFilter &filter);

    const std::string path_;
    const Deliver deliver_;
    std::unique_ptr<HistoryReader> reader_;  // query thread only

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    bool stop_ = false;
    bool sensorsWanted_ = false;
    std::optional<HistoryQuery> series_;
    std::optional<std::pair<uint64_t, AlarmLogFilter>> alarmLog_;
    std::vector<ExportJob> exports_;
    int outstanding_ = 0;

    std::thread thread_;  // last: starts when everything above exists
};

}  // namespace tav
