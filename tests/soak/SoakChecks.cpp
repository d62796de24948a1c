// The soak's checks of what a run leaves: the saved and logged files read
// back, the online count against the slots, and the comparison of every sim
// report with the ledger that ends in the printed table.
#include "tests/soak/Soak.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/net/SensorFrame.h"
#include "core/record/VdatFormat.h"

namespace tav::soak {

namespace {

bool EndsWith(const std::string &s, const std::string &suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

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
