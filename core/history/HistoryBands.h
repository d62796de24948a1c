#pragma once
// The band series in history.sqlite: each sensor's band values (per band and
// axis, as the tick's snapshot carries them) kept as one-minute and one-hour
// minimum, mean and maximum, in tables of their own beside the steady series
// (band_minute_runs: a row per sensor and hour; band_hour_runs: a row per
// sensor and day), packed like the other runs. The band values change once a
// second, so no per-tick rows are kept. Entries are told apart by band
// number (1..8, the band alarms' "频带N" and MQTT's "bandN"); a sensor
// without bands adds nothing. A stop or a failed batch loses the open minute
// of band values, never a stored one.
//
// Thread rule: the writer's side on the history writer's thread only.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/model/SteadySnapshot.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tav {

constexpr int kBandHistorySeries = kMaxBands * 3;  // band * 3 + axis
constexpr int kBandHistoryColumns = 3 * kBandHistorySeries;  // minimum, mean, maximum blocks

// What one pair of tables keeps: their names, how many series (at most
// kBandHistorySeries) and where a snapshot entry's values of them are.
struct BandHistoryLayout {
    const char *tables[2];  // minutes, hours
    int series;
    void (*take)(const SteadySensorValues &v, float *out);  // `series` values, NaN = none
};
// The watched bands: band * 3 + axis.
extern const BandHistoryLayout kBandLayout;
// A slow machine's severity (slow_minute_runs, slow_hour_runs): per axis the
// 2 Hz - 1 kHz velocity (mm/s, series 0..2), the displacement (µm, 3..5) and
// what decided the zone (6..8: 1 velocity, 2 displacement; the minute's
// maximum says whether the displacement decided at all).
extern const BandHistoryLayout kSlowLayout;
constexpr int kSlowHistorySeries = 9;

struct BandHistorySeries {
    std::vector<int64_t> utcMs;  // start of the minute or hour
    std::array<std::vector<float>, kBandHistorySeries> min, mean, max;
    size_t Size() const { return utcMs.size(); }
};

class BandHistory {
public:
    explicit BandHistory(const BandHistoryLayout &layout = kBandLayout);
    ~BandHistory();
    BandHistory(const BandHistory &) = delete;
    BandHistory &operator=(const BandHistory &) = delete;

    // Creates the tables where they are missing and prepares the statements.
    bool Open(sqlite3 *db, std::string *error);
    void Close();
    // Inside the writer's transaction; false when a statement failed.
    bool Process(const SteadySnapshot &snapshot);
    bool Prune(int64_t minutesBeforeUtcMs, int64_t hoursBeforeUtcMs);
    // After a rollback: open runs start new rows, open periods are dropped.
    void Reset();

private:
    struct Sensor;
    bool Emit(int32_t address, Sensor &s, int level);

    const BandHistoryLayout &layout_;
    const int series_, columns_;
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *insert_[2] = {}, *update_[2] = {}, *prune_[2] = {};
    std::unordered_map<int32_t, std::unique_ptr<Sensor>> sensors_;
    std::string blob_;
};

// Band entries of `address` with fromUtcMs <= time < toUtcMs, minutes or
// hours. A file without band tables reads as empty; runs that do not unpack
// are skipped. False (with SQLite's text) when the query fails.
bool ReadBandHistory(sqlite3 *db, int32_t address, int64_t fromUtcMs, int64_t toUtcMs, bool hours,
                     BandHistorySeries *out, std::string *error, const BandHistoryLayout &layout = kBandLayout);

}  // namespace tav
