#pragma once
// The whole-station soak, the parts that need no window: the hostile fleet
// of tavenor-sim processes, the ledger of what every connection brought, the
// periodic checks, the checks of saved and logged files, and the report.
// The two drivers (the real window in tavenor-soak, the bare Station in
// tavenor-soak-core) click or call the operator's actions around them.
//
// Threads: LedgerSink::Post runs on the station's threads; everything else
// on the driver's thread.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/net/ConnectionTable.h"
#include "core/net/EventSink.h"

namespace tav::soak {

struct SoakOptions {
    double seconds = 600;   // whole run, fleet start to final checks
    int sensors = 40;       // simulated sensors of the fleet, the 41st not counted
    bool assert = false;    // failures make the exit status non-zero
    std::string simPath;    // the tavenor-sim program
    std::string folder;     // start folder of the station; "" = a fresh temporary one
    bool keep = false;      // keep the folder and its files
};

// Parses --seconds, --sensors, --assert, --sim, --folder, --keep. Returns
// false with the reason in *error.
bool ParseSoakOptions(int argc, char **argv, SoakOptions *out, std::string *error);

// Seconds on the monotonic clock.
double Now();
// Resident set of this process, in KiB.
long ResidentKiB();

// What the station took from every connection it released, summed per
// sensor address (address 0: connections that never delivered a packet).
struct Received {
    uint64_t connections = 0;
    uint64_t bytes = 0;
    uint64_t packets = 0;
    uint64_t dropped = 0;
};

// Forwards every event to `next` (may be null) and, on a connection's
// release, reads the slot's counters: the release is posted after the
// slot's parser has ended and before the slot may be taken again.
class LedgerSink : public EventSink {
public:
    explicit LedgerSink(EventSink *next = nullptr) : next_(next) {}
    void SetTable(ConnectionTable *table) { table_.store(table); }
    void SetNext(EventSink *next) { next_.store(next); }
    void Post(const StationEvent &event) override;

    std::map<uint32_t, Received> ByAddress() const;
    uint64_t Releases() const;

private:
    std::atomic<ConnectionTable *> table_{nullptr};
    std::atomic<EventSink *> next_;
    mutable std::mutex mutex_;
    std::map<uint32_t, Received> byAddress_;
    uint64_t releases_ = 0;
};

// Events for a driver without a window: releases and sensor replies are
// queued for the driver's thread, the rest only counted.
class QueueSink : public EventSink {
public:
    void Post(const StationEvent &event) override;
    // Moves the queued events out.
    std::deque<StationEvent> Take();
    uint64_t Posted() const { return posted_.load(); }

private:
    std::mutex mutex_;
    std::deque<StationEvent> queue_;
    std::atomic<uint64_t> posted_{0};
};

// How the station's figures of one sim process's sensors must relate to
// what they sent.
enum class Expect {
    Exact,      // every packet and byte arrives, nothing dropped but a cut-off tail
    Corrupt,    // damaged packets lost; dropped bytes = injected junk + damaged packets
    Truncated,  // connections end mid-packet: the cut packets' bytes are dropped
    Hostile,    // garbage and silent peers: nothing to parse
};

// One peer's line of a sim report.
struct SentCounts {
    std::string kind;
    uint32_t address = 0;
    uint64_t bytes = 0, packets = 0, replies = 0, replyBytes = 0, skipped = 0, commands = 0, connects = 0;
    uint64_t junkBytes = 0, damagedPackets = 0, truncations = 0, churnCloses = 0;
};
// Parses a sim report (one JSON object per line); false on a malformed line.
bool ParseSimReport(const std::string &text, std::vector<SentCounts> *out);

struct SimProcess {
    std::string role;
    Expect expect = Expect::Exact;
    std::vector<std::string> args;
    std::string reportPath;
    pid_t pid = -1;
    int exitStatus = -1;  // waitpid status once ended
    std::vector<SentCounts> sent;
};

class SoakFleet {
public:
    SoakFleet(std::string simPath, std::string folder, int port) : simPath_(std::move(simPath)), folder_(std::move(folder)), port_(port) {}
    ~SoakFleet();  // ends what still runs

    // Starts one tavenor-sim process; its report goes to the fleet folder.
    bool Launch(const std::string &role, Expect expect, std::vector<std::string> args, std::string *error);
    // SIGTERM to the processes of these roles (all when empty), then waits
    // for them and reads their reports.
    void Stop(const std::set<std::string> &roles = {});
    std::vector<SimProcess> &Processes() { return procs_; }
    // True when every process ended by itself with status 0 and left a report.
    bool AllReported(std::string *why) const;

private:
    std::string simPath_, folder_;
    int port_;
    std::vector<SimProcess> procs_;
};

// The standard soak fleet for `sensors` sensors (at least 10), started in
// order; the waiting sensor comes last, once the others are in. The sensor
// addresses launched go to *addresses.
bool LaunchSoakFleet(SoakFleet &fleet, int sensors, std::string *error, std::vector<uint32_t> *addresses);
// Address of the sensor that replays target (a well-behaved one).
constexpr uint32_t kReplayAddress = 1;
constexpr uint32_t kLateReplyAddress = 151;
constexpr uint32_t kNoReplyAddress = 152;
constexpr uint32_t kProbeAddress = 999;

// Figures and verdicts gathered during the run.
struct SoakFigures {
    // OnlineCount against the in-use slots.
    uint64_t onlineChecks = 0, onlineAgreedAtOnce = 0, onlineMismatches = 0;
    int maxInUse = 0;
    long rssBaselineKiB = 0, rssEndKiB = 0, rssMaxKiB = 0;
    std::vector<long> rssEveryMinuteKiB;  // for the trend: plateau or steady growth
    double rssBaselineAt = 0;
    // Saves, their files, replays and steady logs.
    int saves = 0, savedVdat = 0, savedCsv = 0, badFiles = 0, partFilesLeft = 0;
    uint64_t savedPackets = 0;
    int replays = 0, replaysCompleted = 0, loadsFailed = 0;
    int logRuns = 0, logFiles = 0, badLogFiles = 0;
    uint64_t logRows = 0;
    // Operator actions done, commands sent, viewer openings.
    std::map<std::string, int> actions;
    int commandsSent = 0, commandsRefused = 0, viewerOpened = 0, viewerMissing = 0;
    std::vector<std::string> problems;  // each failed check, in words
    std::set<uint32_t> replayAffected;  // addresses whose live bytes a replay set aside
    double probeSeconds = -1;           // new sensor accepted and parsed, or -1
    double probeAcceptSeconds = -1;     // new sensor accepted, or -1
    std::map<std::string, int> messages;  // operator messages by text
};

// Reads back one save: every .vdat whole packets only, every .csv a header
// and 116 rows per packet of its .vdat, no ".part" left in the folder.
// Adds to the figures; returns the .vdat paths.
std::vector<std::string> CheckSavedFiles(const std::vector<std::string> &files, const std::string &folder, SoakFigures &f);
// Reads back steady-log files: a header, then whole CR LF rows. Adds to the figures.
void CheckLogFiles(const std::vector<std::string> &files, SoakFigures &f);
// Counts lines (LF) of a file and tells whether it ends with CR LF; -1 when unreadable.
long CountLines(const std::string &path, bool *endsWithCrLf = nullptr);

// Samples OnlineCount and the in-use slots, allowing the few microseconds
// between an accept's or release's two updates.
void CheckOnline(const ConnectionTable &table, SoakFigures &f);

// Compares every sim report with the ledger; appends problems. Prints the table.
void CompareAndReport(SoakFleet &fleet, const LedgerSink &ledger, SoakFigures &f, const SoakOptions &o, double elapsed);

// Removes a folder tree.
void RemoveTree(const std::string &path);
// Files of `folder` whose names end with `suffix`.
std::vector<std::string> ListFiles(const std::string &folder, const std::string &suffix);

}  // namespace tav::soak
