#pragma once
// One connection to the plant's PostgreSQL database and everything the
// service does through it: the schema (created and versioned at connect),
// batched writes (COPY into a staging table, then one insert that skips
// rows already there), the partitions by time, the minute and hour
// aggregates and the retention. One thread uses a Store at a time.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "plant/config/PlantConfig.h"
#include "plant/ingest/Message.h"

struct pg_conn;

namespace tav::plant {

// An alarm event as a write first stored it: what a notification tells.
// A station going offline comes as an "offline" event of address -1.
struct StoredAlarm {
    std::string station;
    int64_t utcMs = 0;
    int64_t alarmId = 0;
    std::string event;  // raise, clear, acknowledge, offline, online, ...
    int32_t address = 0;
    std::string name, quantity, quantityText, axis, severity, comment;
    bool hasValue = false, hasLimit = false;
    double value = 0, limit = 0;
};

constexpr int kSchemaVersion = 1;

class Store {
public:
    explicit Store(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Connects and brings the schema to kSchemaVersion. False with *error.
    bool Open(std::string *error);
    void Close();
    bool Healthy() const;

    enum class Result { kOk, kConnectionLost, kBadData };
    // Writes `rows` in one transaction. *inserted counts the rows new to the
    // tables (the rest were there already); rows older than the retention
    // of full-resolution rows are left out and counted in *expired. The
    // alarm events new to the table (and stations newly offline) go to
    // *alarms once committed.
    Result Write(const std::vector<Row> &rows, int64_t nowMs, int fullDays, int64_t *inserted, int64_t *expired,
                 std::string *error, std::vector<StoredAlarm> *alarms = nullptr);
    // Builds the aggregates of the minutes that closed by `nowMs` (and of
    // the hours whose minutes are all built), a bounded share per call, the
    // oldest first; a late row opens its minute again.
    Result Aggregate(int64_t nowMs, std::string *error);
    // Drops whole partitions whose time range ended before the retention;
    // the names dropped go to *dropped. Makes today's and tomorrow's.
    Result Expire(int64_t nowMs, const RetentionConfig &retention, std::vector<std::string> *dropped,
                  std::string *error);

private:
    Result Exec(const std::string &sql, std::string *error, int64_t *rows = nullptr);
    // Moves the staged alarm events (or station states) into their table;
    // the events new to it (and stations newly gone offline) go to *alarms.
    Result InsertTold(bool stationStates, std::string *error, int64_t *rows, std::vector<StoredAlarm> *alarms);
    Result Copy(const std::string &table, const std::string &text, std::string *error);
    // Ends a failed transaction; says whether the rows or the database were at fault.
    Result Fail(std::string *error, const std::string &sqlState);
    Result EnsurePartitions(int64_t dayStartMs, std::string *error);

    std::string conninfo_;
    pg_conn *conn_ = nullptr;
    std::set<int64_t> partitionDays_;  // steady partitions known to exist
};

// UTC day start of `utcMs`; the partition names of the tables.
int64_t DayStart(int64_t utcMs);
std::string SteadyPartition(int64_t dayStartMs);

}  // namespace tav::plant
