#include "tests/soak/Soak.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/net/SensorFrame.h"
#include "core/record/VdatFormat.h"

extern char **environ;

namespace tav::soak {

namespace {

bool ToNumber(const char *s, double *out)
{
    char *end = nullptr;
    double v = std::strtod(s, &end);
    if (!end || *end || end == s)
        return false;
    *out = v;
    return true;
}

}  // namespace

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool ParseSoakOptions(int argc, char **argv, SoakOptions *o, std::string *error)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](double lo, double hi, double *dst) {
            if (i + 1 >= argc || !ToNumber(argv[i + 1], dst) || *dst < lo || *dst > hi) {
                *error = a + " needs a number from " + std::to_string(int(lo)) + " to " + std::to_string(int(hi));
                return false;
            }
            ++i;
            return true;
        };
        double d = 0;
        if (a == "--seconds") {
            if (!value(10, 86400, &o->seconds))
                return false;
        } else if (a == "--sensors") {
            if (!value(10, 40, &d))
                return false;
            o->sensors = int(d);
        } else if (a == "--assert") {
            o->assert = true;
        } else if (a == "--keep") {
            o->keep = true;
        } else if ((a == "--sim" || a == "--folder") && i + 1 < argc) {
            (a == "--sim" ? o->simPath : o->folder) = argv[++i];
        } else {
            *error = "unknown option " + a +
                     " (options: --seconds N, --sensors N (10..40), --assert, --sim PATH, --folder DIR, --keep)";
            return false;
        }
    }
    return true;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long ResidentKiB()
{
    long pages = 0, resident = 0;
    std::FILE *f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return -1;
    int n = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return n == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// ---------------------------------------------------------------- sinks

void LedgerSink::Post(const StationEvent &event)
{
    ConnectionTable *table = table_.load();
    if (event.type == kConnectionReleasedEvent && table && event.wParam >= 0 && event.wParam < kSlotCount) {
        const ConnectionRecord &rec = table->records[event.wParam];
        std::lock_guard lock(mutex_);
        Received &r = byAddress_[rec.sensorAddress.load()];
        ++r.connections;
        r.bytes += rec.bytesReceived.load();
        r.packets += rec.packetsParsed.load();
        r.dropped += rec.droppedBytes.load();
        ++releases_;
    }
    if (EventSink *next = next_.load())
        next->Post(event);
}

std::map<uint32_t, Received> LedgerSink::ByAddress() const
{
    std::lock_guard lock(mutex_);
    return byAddress_;
}

uint64_t LedgerSink::Releases() const
{
    std::lock_guard lock(mutex_);
    return releases_;
}

void QueueSink::Post(const StationEvent &event)
{
    posted_.fetch_add(1, std::memory_order_relaxed);
    if (event.type != kConnectionReleasedEvent && event.type != kSensorReplyEvent && event.type != kMessageEvent &&
        event.type != kSaveProgressEvent)
        return;
    std::lock_guard lock(mutex_);
    queue_.push_back(event);
}

std::deque<StationEvent> QueueSink::Take()
{
    std::lock_guard lock(mutex_);
    std::deque<StationEvent> out;
    out.swap(queue_);
    return out;
}

// ---------------------------------------------------------------- fleet

bool ParseSimReport(const std::string &text, std::vector<SentCounts> *out)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        auto number = [&](const char *key, uint64_t *dst) {
            std::string k = std::string("\"") + key + "\":";
            size_t at = line.find(k);
            if (at == std::string::npos)
                return false;
            *dst = std::strtoull(line.c_str() + at + k.size(), nullptr, 10);
            return true;
        };
        SentCounts c;
        size_t kindAt = line.find("\"kind\":\"");
        if (kindAt == std::string::npos)
            return false;
        size_t kindEnd = line.find('"', kindAt + 8);
        c.kind = line.substr(kindAt + 8, kindEnd - kindAt - 8);
        uint64_t address = 0;
        bool ok = number("address", &address) && number("bytes", &c.bytes) && number("packets", &c.packets) &&
                  number("replies", &c.replies) && number("replyBytes", &c.replyBytes) &&
                  number("skipped", &c.skipped) && number("commands", &c.commands) &&
                  number("connects", &c.connects) && number("junkBytes", &c.junkBytes) &&
                  number("damagedPackets", &c.damagedPackets) && number("truncations", &c.truncations) &&
                  number("churnCloses", &c.churnCloses);
        if (!ok)
            return false;
        c.address = uint32_t(address);
        out->push_back(c);
    }
    return true;
}

SoakFleet::~SoakFleet()
{
    for (auto &p : procs_)
        if (p.pid > 0) {
            ::kill(p.pid, SIGKILL);
            ::waitpid(p.pid, nullptr, 0);
        }
}

bool SoakFleet::Launch(const std::string &role, Expect expect, std::vector<std::string> args, std::string *error)
{
    SimProcess p;
    p.role = role;
    p.expect = expect;
    p.reportPath = folder_ + "/sim-" + role + ".json";
    std::vector<std::string> full = {simPath_, "--host", "127.0.0.1", "--port", std::to_string(port_), "--quiet",
                                     "--report-file", p.reportPath};
    full.insert(full.end(), args.begin(), args.end());
    p.args = full;
    std::vector<char *> argv;
    for (auto &a : p.args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The sims' own output (one summary each) goes to a file beside the report.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = folder_ + "/sim-" + role + ".out";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int rc = posix_spawn(&p.pid, simPath_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *error = "cannot start " + simPath_ + ": " + std::strerror(rc);
        return false;
    }
    procs_.push_back(std::move(p));
    return true;
}

void SoakFleet::Stop(const std::set<std::string> &roles)
{
    for (auto &p : procs_)
        if (p.pid > 0 && (roles.empty() || roles.count(p.role)))
            ::kill(p.pid, SIGTERM);
    for (auto &p : procs_) {
        if (p.pid <= 0 || !(roles.empty() || roles.count(p.role)))
            continue;
        ::waitpid(p.pid, &p.exitStatus, 0);
        p.pid = 0;
        ParseSimReport(ReadFile(p.reportPath), &p.sent);
    }
}

bool SoakFleet::AllReported(std::string *why) const
{
    for (const auto &p : procs_) {
        if (p.pid != 0 || !WIFEXITED(p.exitStatus) || WEXITSTATUS(p.exitStatus) != 0) {
            *why = "sim process " + p.role + " did not end cleanly (status " + std::to_string(p.exitStatus) + ")";
            return false;
        }
        if (p.sent.empty()) {
            *why = "sim process " + p.role + " left no report";
            return false;
        }
    }
    return true;
}

bool LaunchSoakFleet(SoakFleet &fleet, int sensors, std::string *error, std::vector<uint32_t> *addresses)
{
    const bool large = sensors >= 20;
    const int churn = large ? 3 : 1, truncate = large ? 2 : 1;
    const int steady = sensors - churn - truncate - 1 - 2 - 1 - 2;
    struct Role {
        const char *name;
        Expect expect;
        std::vector<std::string> args;
    };
    const std::vector<Role> roles = {
        {"steady", Expect::Exact,
         {"--sensors", std::to_string(steady), "--first-address", "1", "--rpm", "1500,2970,1800,3000,990",
          "--rpm-step", "13", "--seed", "11"}},
        {"churn", Expect::Exact,
         {"--sensors", std::to_string(churn), "--first-address", "101", "--rpm", "1200", "--rpm-step", "300",
          "--churn", "--churn-period", "3", "--reconnect-ms", "300", "--seed", "12"}},
        {"truncate", Expect::Truncated,
         {"--sensors", std::to_string(truncate), "--first-address", "111", "--rpm", "2400", "--truncate",
          "--truncate-after", "4", "--reconnect-ms", "400", "--seed", "13"}},
        {"corrupt", Expect::Corrupt,
         {"--first-address", "121", "--rpm", "1750", "--corrupt-rate", "0.01", "--seed", "14"}},
        {"duplicate", Expect::Exact,
         {"--sensors", "2", "--first-address", "131", "--duplicate-address", "--rpm", "1480,2950", "--seed", "15"}},
        {"fs-change", Expect::Exact,
         {"--first-address", "141", "--rpm", "3000", "--fs-change-after", "12", "--fs2", "20000", "--seed", "16"}},
        {"late-replies", Expect::Exact,
         {"--first-address", std::to_string(kLateReplyAddress), "--rpm", "1500", "--reply-delay-ms", "1500",
          "--seed", "17"}},
        {"no-replies", Expect::Exact,
         {"--first-address", std::to_string(kNoReplyAddress), "--rpm", "1000", "--no-replies", "--seed", "18"}},
        {"hostile", Expect::Hostile, {"--sensors", "0", "--garbage-peers", "1", "--silent-peers", "1", "--seed", "19"}},
    };
    for (const auto &r : roles)
        if (!fleet.Launch(r.name, r.expect, r.args, error))
            return false;
    auto run = [&](uint32_t first, int count) {
        for (int i = 0; i < count; ++i)
            addresses->push_back(first + uint32_t(i));
    };
    run(1, steady);
    run(101, churn);
    run(111, truncate);
    run(121, 1);
    run(131, 1);  // both duplicates report 131
    run(141, 1);
    run(kLateReplyAddress, 1);
    run(kNoReplyAddress, 1);
    return true;
}

}  // namespace tav::soak
