#pragma once
// What the pages read from PostgreSQL, on connections of the web server's
// own (read-only sessions; never the writer's). Each answer is built as
// JSON or CSV text; requests are checked here, so nothing a client sends
// reaches the SQL but as a parameter or a name from a fixed list.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pg_conn;

namespace tav::plant {

class PgPool {
public:
    PgPool(std::string conninfo, int maxConnections) : conninfo_(std::move(conninfo)), max_(maxConnections) {}
    ~PgPool();
    // A connection, made when none is idle; null when the database is away
    // or all are busy for 10 s. *error says why.
    pg_conn *Take(std::string *error);
    void Give(pg_conn *conn);

private:
    std::string conninfo_;
    int max_;
    std::mutex mutex_;  // guards idle_ and open_
    std::condition_variable freed_;
    std::vector<pg_conn *> idle_;
    int open_ = 0;
};

// A request's query string as the server parsed it.
using Params = std::map<std::string, std::string>;

struct Answer {
    int status = 200;
    std::string body;  // JSON, CSV or the message of a refusal
};

enum class Format { kJson, kCsv };

// One machine of the overview: its JSON object as /api/overview gives it,
// and the short form the live pages are sent, only what a tile shows:
// [station index, address, name, zone, severity, [x, y, z ISO velocity],
// speed, temperature, last seen ms(, [[alarm_id, severity, acknowledged], ...])],
// numbers rounded as the tile prints them, the alarms only where there are some.
// Its JSON object is made only when a page asks for /api/overview: the
// live pages, read every batch, take the short form alone.
struct MachineRow;
struct MachineItem {
    std::string station;
    int address = 0;
    std::shared_ptr<const MachineRow> row;
    std::string live;
};
// The machine's object as /api/overview gives it.
std::string MachineJson(const MachineItem &item);
// Every machine of every station, worst first, for the live pages;
// *stations the stations by name, whose index the live forms carry.
Answer OverviewItems(PgPool &pool, int64_t nowMs, std::vector<MachineItem> *out, std::vector<std::string> *stations);

// Every machine of every (or ?station=) station with its latest values,
// zone, severity against its limits and active alarms, worst first.
Answer Overview(PgPool &pool, const Params &params, Format format, int64_t nowMs);
// A machine's series over [from, to] (ms UTC); full rows up to 6 h, minute
// aggregates up to 30 days, hour aggregates beyond (or ?resolution=).
Answer Series(PgPool &pool, const Params &params, Format format, int64_t nowMs);
// Active alarms (from the stations' own lists) and past alarm events,
// filtered by station, address, severity and time.
Answer Alarms(PgPool &pool, const Params &params, Format format, int64_t nowMs);
// The stations known to the database, for the pages' filters.
Answer Stations(PgPool &pool);

// The resolution a span of `spanMs` is read at: "raw", "minute" or "hour".
const char *ResolutionOfSpan(int64_t spanMs);

}  // namespace tav::plant
