#pragma once
// Reading the durable history (data/history.sqlite) on a connection of its
// own, beside the station's writer: the history viewer, the command-line tool
// and the refill of the 60-minute table use it.
//
// Thread rule: one HistoryReader per thread. Its calls wait on disk, so a
// window never calls them on its own thread: it runs them on a worker and
// takes the result by a posted event.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/history/HistoryBands.h"
#include "core/model/AlarmTypes.h"
#include "core/model/SteadyRecord.h"

struct sqlite3;

namespace tav {

constexpr const char *kHistoryFileName = "history.sqlite";  // in the data folder

enum class HistoryResolution : int { kRaw = 0, kMinute = 1, kHour = 2 };
struct AlarmLogFilter;

// A stored run that does not unpack (a damaged byte in the file that SQLite
// itself does not notice): its entries are left out, everything else is read.
struct HistoryDamagedBlock {
    int32_t address = 0;
    HistoryResolution resolution = HistoryResolution::kRaw;
    int64_t firstUtcMs = 0;  // the run's first and last entry as the row says
    int64_t lastUtcMs = 0;
    int entries = 0;
};

// Entries of one sensor in time order, one column per series (the series
// order of the steady-state log: axis * 7 + parameter, then the speed).
// At full resolution min and max are empty and mean holds the values; the
// aggregates hold the minimum, mean and maximum of their minute or hour.
struct HistorySeries {
    HistoryResolution resolution = HistoryResolution::kRaw;
    std::vector<int64_t> utcMs;  // the tick's time, or the start of the minute or hour
    std::array<std::vector<float>, kSteadySeriesCount> mean;
    std::array<std::vector<float>, kSteadySeriesCount> min;
    std::array<std::vector<float>, kSteadySeriesCount> max;
    // Runs in the range that were skipped because they do not unpack.
    std::vector<HistoryDamagedBlock> damaged;
    // A slow machine's minutes or hours (kSlowLayout's series) at the
    // entries' times, NaN where it has none; empty at raw resolution and
    // where the range holds none.
    std::array<std::vector<float>, kSlowHistorySeries> slowMin, slowMean, slowMax;
    bool HasSlow() const { return !slowMean[0].empty(); }
    size_t Size() const { return utcMs.size(); }
};

struct HistorySensorSummary {
    int32_t address = 0;
    int64_t firstUtcMs = 0;
    int64_t lastUtcMs = 0;
    int64_t entries[3] = {};  // raw, minute, hour
};

enum class HistoryEventKind : int { kConnected = 1, kDisconnected = 2, kFrequencyChanged = 3 };

struct HistoryEvent {
    int64_t utcMs = 0;
    int32_t address = 0;
    HistoryEventKind kind = HistoryEventKind::kConnected;
    std::string detail;  // "ip:port" when connected, "26667 -> 20000" when the frequency changed
};

class HistoryReader {
public:
    HistoryReader();
    ~HistoryReader();
    HistoryReader(const HistoryReader &) = delete;
    HistoryReader &operator=(const HistoryReader &) = delete;

    // Opens the database read-only. False with a text for the operator.
    bool Open(const std::string &databasePath, std::string *error);
    bool IsOpen() const { return db_ != nullptr; }

    std::vector<HistorySensorSummary> Sensors();
    // Whether anything of `address` is stored (cheap, unlike Sensors()).
    bool HasSensor(int32_t address);
    // Entries of `address` with fromUtcMs <= time < toUtcMs. A run that
    // does not unpack is skipped and listed in out->damaged; false only
    // when SQLite cannot answer.
    bool Read(int32_t address, int64_t fromUtcMs, int64_t toUtcMs, HistoryResolution resolution,
              HistorySeries *out);
    // address 0 = every sensor.
    bool Events(int32_t address, int64_t fromUtcMs, int64_t toUtcMs, std::vector<HistoryEvent> *out);

    // The alarm log within the filter, in time order (HistoryAlarmLog.h).
    bool AlarmEvents(const AlarmLogFilter &filter, std::vector<AlarmEvent> *out, bool *truncated = nullptr);
    // Addresses with alarm events, ascending.
    bool AlarmAddresses(std::vector<int32_t> *out);
    // Each address's machine name at its newest named alarm event.
    std::map<int32_t, std::string> AlarmNames();

    // The resolution a range is shown at: full up to a day, minutes up to
    // 90 days, hours beyond.
    static HistoryResolution AutoResolution(int64_t fromUtcMs, int64_t toUtcMs);

private:
    sqlite3 *db_ = nullptr;
};

}  // namespace tav
