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

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool EndsWith(const std::string &s, const std::string &suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

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

// ---------------------------------------------------------------- files

long CountLines(const std::string &path, bool *endsWithCrLf)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    static thread_local char buf[1 << 16];
    long lines = 0;
    char last2[2] = {0, 0};
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            ::close(fd);
            return -1;
        }
        if (n == 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            lines += buf[i] == '\n';
        if (n >= 2) {
            last2[0] = buf[n - 2];
            last2[1] = buf[n - 1];
        } else {
            last2[0] = last2[1];
            last2[1] = buf[0];
        }
    }
    ::close(fd);
    if (endsWithCrLf)
        *endsWithCrLf = last2[0] == '\r' && last2[1] == '\n';
    return lines;
}

std::vector<std::string> ListFiles(const std::string &folder, const std::string &suffix)
{
    std::vector<std::string> out;
    if (DIR *d = ::opendir(folder.c_str())) {
        while (dirent *e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != ".." && EndsWith(name, suffix))
                out.push_back(folder + "/" + name);
        }
        ::closedir(d);
    }
    return out;
}

void RemoveTree(const std::string &path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        for (const auto &child : ListFiles(path, ""))
            RemoveTree(child);
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

std::vector<std::string> CheckSavedFiles(const std::vector<std::string> &files, const std::string &folder, SoakFigures &f)
{
    std::vector<std::string> vdats;
    std::map<std::string, uint64_t> packetsOf;  // stem -> packets of its .vdat
    for (const auto &path : files) {
        if (!EndsWith(path, ".vdat"))
            continue;
        ++f.savedVdat;
        const std::string data = ReadFile(path);
        // A connection with nothing recorded (a silent peer) gets an empty
        // file and a header-only CSV: complete too.
        bool ok = data.size() % kPacketBytes == 0;
        for (size_t at = 0; ok && at < data.size(); at += kPacketBytes)
            ok = IsWaveformPacket(reinterpret_cast<const uint8_t *>(data.data()) + at);
        if (!ok) {
            ++f.badFiles;
            f.problems.push_back("saved file " + path + " is not whole packets (" + std::to_string(data.size()) + " bytes)");
            continue;
        }
        packetsOf[path.substr(0, path.size() - 5)] = data.size() / kPacketBytes;
        f.savedPackets += data.size() / kPacketBytes;
        vdats.push_back(path);
    }
    for (const auto &path : files) {
        if (!EndsWith(path, ".csv"))
            continue;
        ++f.savedCsv;
        bool crlf = false;
        long lines = CountLines(path, &crlf);
        auto it = packetsOf.find(path.substr(0, path.size() - 4));
        const long want = it == packetsOf.end() ? -2 : long(1 + it->second * kSamplesPerPacket);
        if (lines != want || !crlf) {
            ++f.badFiles;
            f.problems.push_back("CSV " + path + " has " + std::to_string(lines) + " lines, its .vdat asks for " +
                                 std::to_string(want) + (crlf ? "" : " (no CR LF at the end)"));
        }
    }
    const auto parts = ListFiles(folder, ".part");
    if (!parts.empty()) {
        f.partFilesLeft += int(parts.size());
        f.problems.push_back("a finished save left " + parts.front());
    }
    return vdats;
}

void CheckLogFiles(const std::vector<std::string> &files, SoakFigures &f)
{
    for (const auto &path : files) {
        ++f.logFiles;
        const std::string text = ReadFile(path);
        // A header and whole rows, each ending CR LF.
        size_t rows = 0, at = 0;
        bool ok = !text.empty();
        while (ok && at < text.size()) {
            size_t end = text.find("\r\n", at);
            if (end == std::string::npos) {
                ok = false;
                break;
            }
            ++rows;
            at = end + 2;
        }
        if (!ok || rows < 1) {
            ++f.badLogFiles;
            f.problems.push_back("steady log " + path + " ends in a torn row");
            continue;
        }
        f.logRows += rows - 1;
    }
}

void CheckOnline(const ConnectionTable &table, SoakFigures &f)
{
    ++f.onlineChecks;
    // An accept raises the count just before it marks the slot, a release
    // lowers it just after it clears the mark: a sample may fall between.
    for (int attempt = 0; attempt < 50; ++attempt) {
        int online = table.onlineCount.load();
        int inUse = table.CountInUse();
        if (online == inUse) {
            if (attempt == 0)
                ++f.onlineAgreedAtOnce;
            if (inUse > f.maxInUse)
                f.maxInUse = inUse;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ++f.onlineMismatches;
    f.problems.push_back("OnlineCount " + std::to_string(table.onlineCount.load()) + " but " +
                         std::to_string(table.CountInUse()) + " slots in use for 50 ms");
}

// ---------------------------------------------------------------- report

void CompareAndReport(SoakFleet &fleet, const LedgerSink &ledger, SoakFigures &f, const SoakOptions &o, double elapsed)
{
    std::string why;
    if (!fleet.AllReported(&why))
        f.problems.push_back(why);
    struct Expected {
        std::string role;
        Expect expect = Expect::Exact;
        int peers = 0;
        SentCounts sum;
    };
    std::map<uint32_t, Expected> sent;
    uint64_t garbageBytes = 0;
    for (const auto &p : fleet.Processes())
        for (const auto &c : p.sent) {
            if (c.kind != "sensor") {
                garbageBytes += c.bytes;
                continue;
            }
            Expected &e = sent[c.address];
            e.role = p.role;
            e.expect = p.expect;
            ++e.peers;
            e.sum.packets += c.packets;
            e.sum.bytes += c.bytes;
            e.sum.replyBytes += c.replyBytes;
            e.sum.connects += c.connects;
            e.sum.junkBytes += c.junkBytes;
            e.sum.damagedPackets += c.damagedPackets;
            e.sum.truncations += c.truncations;
            e.sum.churnCloses += c.churnCloses;
            e.sum.commands += c.commands;
            e.sum.replies += c.replies;
        }
    const auto got = ledger.ByAddress();

    std::printf("\n== soak: %.0f s, %d sensors (+1 waiting, a garbage and a silent peer) ==\n", elapsed, o.sensors);
    std::printf("%-13s %5s %5s %9s %9s %11s %11s %8s %9s %5s  %s\n", "role", "addr", "conns", "sent pkts", "recv pkts",
                "sent bytes", "recv bytes", "dropped", "injected", "cmds", "verdict");
    int exact = 0, exactOk = 0;
    for (const auto &[address, e] : sent) {
        auto it = got.find(address);
        const Received r = it == got.end() ? Received{} : it->second;
        const uint64_t injected = e.sum.junkBytes + e.sum.damagedPackets * kPacketBytes;
        const uint64_t accounted = r.bytes - r.packets * kPacketBytes - std::min(e.sum.replyBytes, r.bytes);
        std::string verdict = "ok";
        auto fail = [&](const std::string &what) {
            verdict = what;
            char text[256];
            std::snprintf(text, sizeof text, "%s sensor %u: %s", e.role.c_str(), address, what.c_str());
            f.problems.push_back(text);
        };
        if (f.replayAffected.count(address)) {
            verdict = "replayed over (live bytes set aside)";
            if (r.bytes > e.sum.bytes)
                fail("received more bytes than sent");
        } else {
            switch (e.expect) {
            case Expect::Exact:
                ++exact;
                if (r.packets != e.sum.packets)
                    fail("packets received != sent");
                else if (r.bytes != e.sum.bytes)
                    fail("bytes received != sent");
                else if (r.dropped != accounted || r.dropped >= kPacketBytes * std::max<uint64_t>(1, r.connections))
                    fail("dropped bytes not a cut-off tail");
                else
                    ++exactOk;
                break;
            case Expect::Truncated:
                if (r.packets != e.sum.packets)
                    fail("packets received != sent");
                else if (r.bytes != e.sum.bytes)
                    fail("bytes received != sent");
                else if (r.dropped != accounted || r.dropped > kPacketBytes * (e.sum.truncations + r.connections))
                    fail("dropped bytes beyond the cut packets");
                break;
            case Expect::Corrupt:
                if (r.packets != e.sum.packets - e.sum.damagedPackets)
                    fail("packets received != sent - damaged");
                else if (r.bytes != e.sum.bytes)
                    fail("bytes received != sent");
                else if (r.dropped != accounted || r.dropped < injected ||
                         r.dropped >= injected + kPacketBytes * std::max<uint64_t>(1, r.connections))
                    fail("dropped bytes not the injected corruption");
                break;
            case Expect::Hostile:
                break;
            }
        }
        std::printf("%-13s %5u %2" PRIu64 "/%-2" PRIu64 " %9" PRIu64 " %9" PRIu64 " %11" PRIu64 " %11" PRIu64 " %8" PRIu64
                    " %9" PRIu64 " %5" PRIu64 "  %s\n",
                    e.role.c_str(), address, r.connections, e.sum.connects, e.sum.packets, r.packets, e.sum.bytes,
                    r.bytes, r.dropped, injected, e.sum.commands, verdict.c_str());
    }
    for (const auto &[address, r] : got)
        if (!sent.count(address) && address != kProbeAddress) {
            std::printf("%-13s %5u %5" PRIu64 " %9s %9" PRIu64 " %11" PRIu64 " %11" PRIu64 " %8" PRIu64 "  %s\n",
                        address == 0 ? "no packet" : "unknown", address, r.connections, "-", r.packets,
                        address == 0 ? garbageBytes : 0, r.bytes, r.dropped,
                        address == 0 ? "garbage, silent and packet-less connections" : "");
            if (address != 0)
                f.problems.push_back("packets with an address no sensor sent: " + std::to_string(address));
        }

    std::printf("\nwell-behaved sensors with packets and bytes received = sent: %d of %d\n", exactOk, exact);
    std::printf("OnlineCount = in-use slots: %" PRIu64 " checks, %" PRIu64 " at the first sample, %" PRIu64
                " mismatches; most slots in use %d\n",
                f.onlineChecks, f.onlineAgreedAtOnce, f.onlineMismatches, f.maxInUse);
    const double rssChange = f.rssBaselineKiB > 0 ? 100.0 * (f.rssEndKiB - f.rssBaselineKiB) / f.rssBaselineKiB : 0;
    std::printf("RSS: %.1f MiB at %.0f s, %.1f MiB at the end (%+.1f %%), at most %.1f MiB\n",
                f.rssBaselineKiB / 1024.0, f.rssBaselineAt, f.rssEndKiB / 1024.0, rssChange, f.rssMaxKiB / 1024.0);
    if (f.rssEveryMinuteKiB.size() > 1) {
        std::string trend;
        for (long kib : f.rssEveryMinuteKiB)
            trend += " " + std::to_string(int(kib / 1024.0 + 0.5));
        std::printf("RSS each minute (MiB):%s\n", trend.c_str());
    }
    std::printf("saves: %d, %d .vdat and %d .csv read back (%" PRIu64 " packets), %d bad, %d .part left\n", f.saves,
                f.savedVdat, f.savedCsv, f.savedPackets, f.badFiles, f.partFilesLeft);
    std::printf("replays of saved files: %d started, %d ran to the end, %d loads refused\n", f.replays,
                f.replaysCompleted, f.loadsFailed);
    std::printf("steady log: %d runs, %d files, %" PRIu64 " rows, %d torn\n", f.logRuns, f.logFiles, f.logRows,
                f.badLogFiles);
    std::printf("commands: %d sent, %d refused; viewer opened %d times (%d times not there)\n", f.commandsSent,
                f.commandsRefused, f.viewerOpened, f.viewerMissing);
    std::string actions;
    for (const auto &[name, n] : f.actions)
        actions += (actions.empty() ? "" : ", ") + name + " " + std::to_string(n);
    std::printf("operator actions: %s\n", actions.c_str());
    for (const auto &[text, n] : f.messages)
        std::printf("operator message x%d: %s\n", n, text.c_str());
    if (f.probeSeconds >= 0)
        std::printf("new sensor at the end: accepted after %.3f s, its first packet parsed after %.3f s\n",
                    f.probeAcceptSeconds, f.probeSeconds);
    else
        std::printf("new sensor at the end: not served\n");

    if (f.rssBaselineKiB > 0 && std::abs(rssChange) > 10.0)
        f.problems.push_back("RSS changed by more than 10 % after the first minute");
    if (f.probeSeconds < 0 || f.probeSeconds > 1.0)
        f.problems.push_back("the station did not answer a new sensor within a second");
    if (f.saves == 0 || f.savedVdat == 0)
        f.problems.push_back("no save was read back");
    if (f.replaysCompleted == 0)
        f.problems.push_back("no replay of a saved file ran to its end");
    if (f.logFiles == 0)
        f.problems.push_back("no steady log file was written");
    if (exact == 0 || exactOk != exact)
        f.problems.push_back("not every well-behaved sensor was received whole");
    std::printf("\n%s: %zu problem(s)\n", f.problems.empty() ? "PASS" : "FAIL", f.problems.size());
    for (const auto &p : f.problems)
        std::printf("  - %s\n", p.c_str());
    std::fflush(stdout);
}

}  // namespace tav::soak
