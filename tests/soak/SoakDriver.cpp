#include "tests/soak/SoakDriver.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "sim/SimOptions.h"
#include "sim/SimSensor.h"

namespace tav::soak {

namespace {
constexpr double kCycleSeconds = 24.0;
constexpr double kServedWithinS = 40.0;
// The first minute, or the first half of a shorter run (a CI run of a minute
// has no "after the first minute").
double BaselineAt(double seconds) { return seconds / 2 < 60 ? seconds / 2 : 60; }

bool IsSteadyLogFile(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return path.compare(slash + 1, std::string("稳态").size(), "稳态") == 0;
}
}  // namespace

SoakDriver::SoakDriver(Station &station, Operator &op, LedgerSink &ledger, const SoakOptions &options,
                       std::string folder)
    : station_(station),
      op_(op),
      ledger_(ledger),
      options_(options),
      folder_(std::move(folder)),
      fleet_(options.simPath, folder_, station.Port()),
      hostile_(station.Port())
{
}

SoakDriver::~SoakDriver()
{
    if (probe_)
        probe_->Stop();
}

bool SoakDriver::Start(std::string *error)
{
    start_ = Now();
    nextCheck_ = start_ + 1;
    // Peers that are no sensors take the slots first; the fleet follows
    // once they hold them all (Tick).
    return fleet_.Launch("hostile-fleet", Expect::Hostile,
                         {"--sensors", "0", "--silent-peers", "40", "--garbage-peers", "10", "--seed", "21"}, error);
}

int SoakDriver::SlotOfAddress(uint32_t address) const
{
    auto &table = station_.Table();
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (table.records[slot].InUse() && table.records[slot].sensorAddress.load() == address)
            return slot;
    return -1;
}

bool SoakDriver::Tick()
{
    if (done_)
        return false;
    const double now = Now();
    const double t = now - start_;
    if (now >= nextCheck_) {
        nextCheck_ += 1;
        Check(t);
    }
    if (saveRunning_ && !station_.Recording().Saving())
        FinishSave();
    if (replayRunning_ && station_.Recording().AcquisitionState() != 2) {
        replayRunning_ = false;
        ++f_.replaysCompleted;
    }
    if (t < options_.seconds) {
        if (fleetAt_ < 0 && (station_.Table().CountInUse() == kSlotCount || t >= 3)) {
            fleetAt_ = t;
            std::string error;
            if (!LaunchSoakFleet(fleet_, options_.sensors, &error, &fleetAddresses_))
                f_.problems.push_back(error);
        }
        if (fleetAt_ < 0)
            return true;
        if (!hostileClientsStarted_ && t >= fleetAt_ + 2) {
            hostileClientsStarted_ = true;
            hostile_.Start(10);
        }
        if (!waitingLaunched_ && t >= fleetAt_ + 3) {
            // The 41st sensor: once the others hold the slots, it waits for one.
            waitingLaunched_ = true;
            std::string error;
            if (!fleet_.Launch("waiting", Expect::Exact,
                               {"--first-address", "161", "--rpm", "2200", "--seed", "20"}, &error))
                f_.problems.push_back(error);
        }
        Script(t);
        return true;
    }
    if (End(now))
        return true;
    done_ = true;
    ReportHostile();
    CompareAndReport(fleet_, ledger_, f_, options_, t);
    return false;
}

void SoakDriver::CheckServed(double t)
{
    if (fleetAt_ < 0)
        return;
    const auto &table = station_.Table();
    // A sensor may be served between two checks (a short-lived connection
    // that waited): the ledger of released connections counts too.
    for (const auto &[address, received] : ledger_.ByAddress())
        if (received.packets > 0)
            firstServed_.try_emplace(address, t - fleetAt_);
    for (const auto &rec : table.records) {
        if (!rec.InUse() || rec.packetsParsed.load() == 0)
            continue;
        firstServed_.try_emplace(rec.sensorAddress.load(), t - fleetAt_);
        if (rec.peerIpHost.load() != 0x7F000001u && !outsiderServed_) {
            outsiderServed_ = true;
            f_.problems.push_back("a slot served a peer outside the allow list");
        }
    }
    // Every sensor of the fleet served within 40 s of connecting, whatever
    // the hostile peers do (or by the end of a shorter run).
    if (!servedChecked_ && (t - fleetAt_ >= kServedWithinS || t >= options_.seconds - 1)) {
        servedChecked_ = true;
        for (uint32_t address : fleetAddresses_)
            if (!firstServed_.count(address))
                f_.problems.push_back("sensor " + std::to_string(address) + " not served within " +
                                      std::to_string(int(t - fleetAt_)) + " s of connecting");
    }
}

void SoakDriver::ReportHostile()
{
    const Server &net = station_.Net();
    double lastServed = 0;
    for (const auto &[address, at] : firstServed_)
        if (std::find(fleetAddresses_.begin(), fleetAddresses_.end(), address) != fleetAddresses_.end())
            lastServed = std::max(lastServed, at);
    std::printf("\n== hostile peers: 40 silent and 10 garbage before the fleet, %s refused, a 10 s hammer ==\n",
                kSoakRefusedFrom);
    std::printf("  garbage peers closed %llu, silent peers evicted %llu, refused connections %llu (%llu attempts, "
                "%llu seen closed)\n",
                static_cast<unsigned long long>(net.GarbageClosed()), static_cast<unsigned long long>(net.Evicted()),
                static_cast<unsigned long long>(net.Refused()),
                static_cast<unsigned long long>(hostile_.RefusedAttempts()),
                static_cast<unsigned long long>(hostile_.RefusedClosed()));
    std::printf("  hammer connections %llu; every fleet sensor served %.1f s after the fleet started (goal <= %.0f)\n",
                static_cast<unsigned long long>(hostile_.HammerConnects()), lastServed, kServedWithinS);
    if (hostile_.RefusedAttempts() == 0 || net.Refused() == 0)
        f_.problems.push_back("the peer outside the allow list never reached the station");
    if (net.GarbageClosed() == 0)
        f_.problems.push_back("no garbage peer was closed");
    if (net.Evicted() == 0)
        f_.problems.push_back("no silent peer was evicted to make room");
    if (hostile_.HammerConnects() == 0)
        f_.problems.push_back("the hammer made no connection");
}

void SoakDriver::Check(double t)
{
    CheckOnline(station_.Table(), f_);
    CheckServed(t);
    const long rss = ResidentKiB();
    if (rss > f_.rssMaxKiB)
        f_.rssMaxKiB = rss;
    if (t >= 60.0 * double(f_.rssEveryMinuteKiB.size() + 1) && t < options_.seconds)
        f_.rssEveryMinuteKiB.push_back(rss);
    // Both RSS figures are taken with acquisition idle and no save running,
    // so that neither catches a save's buffers in passing.
    // A save frees its buffers as it ends; they leave the resident set a
    // little later (at once in a normal build, later under the address
    // sanitizer's quarantine).
    const bool idle = station_.Recording().AcquisitionState() == 0 && !station_.Recording().Saving() &&
                      !saveRunning_ && Now() - lastSaveEnd_ >= 3;
    if (!baselineTaken_ && idle && t >= BaselineAt(options_.seconds)) {
        baselineTaken_ = true;
        f_.rssBaselineKiB = rss;
        f_.rssBaselineAt = t;
    }
}

void SoakDriver::Script(double t)
{
    const int cycle = int(t / kCycleSeconds);
    const double c = t - cycle * kCycleSeconds;
    if (cycle != cycle_) {
        cycle_ = cycle;
        lastStep_ = -1;
    }
    // Each step runs once per cycle, when its time has come.
    auto at = [&](double when) {
        if (c >= when && lastStep_ < when) {
            lastStep_ = when;
            return true;
        }
        return false;
    };
    auto &table = station_.Table();
    if (at(0.0)) {
        // Another connection, never the one that replays target.
        std::vector<int> slots;
        for (int slot = 0; slot < kSlotCount; ++slot)
            if (table.records[slot].InUse() && table.records[slot].sensorAddress.load() != kReplayAddress &&
                table.records[slot].sensorAddress.load() != 0)
                slots.push_back(slot);
        if (!slots.empty()) {
            op_.SelectSlot(slots[(pick_++ * 7) % slots.size()]);
            Act("select");
        }
        op_.ToggleHighPass();
        op_.TogglePlotPause();
        Act("high-pass");
        Act("plot pause");
    } else if (at(1.0)) {
        op_.TogglePlotPause();
        Act("plot pause");
    } else if (at(2.0)) {
        if (!logRunning_) {
            op_.StartSteadyLog();
            logRunning_ = true;
            ++f_.logRuns;
            Act("steady log start");
        }
    } else if (at(3.0)) {
        op_.StartRecording();
        Act("record");
    } else if (at(4.0) || at(4.5)) {
        op_.TogglePause();
        Act("pause");
    } else if (at(5.0)) {
        // Commands go to the late, the mute and a well-behaved sensor in turn.
        const uint32_t targets[3] = {kLateReplyAddress, kNoReplyAddress, 2};
        int slot = SlotOfAddress(targets[cycle_ % 3]);
        if (slot >= 0)
            op_.SelectSlot(slot);
        op_.OpenParameters();
        Act("parameter dialog");
    } else if (at(5.5)) {
        int refused = 0;
        f_.commandsSent += op_.SendCommands(&refused);
        f_.commandsRefused += refused;
    } else if (at(6.5)) {
        if (!station_.Recording().Saving()) {
            op_.Save();  // while recording: the save stops it first
            Act("save while recording");
            if (station_.Recording().Saving() || !station_.Recording().Saver().LastFiles().empty()) {
                saveRunning_ = true;
                ++f_.saves;
            }
        }
    } else if (at(8.0)) {
        op_.CloseParameters();
    } else if (at(9.0)) {
        if (op_.OpenViewer())
            ++f_.viewerOpened;
        else
            ++f_.viewerMissing;
        Act("viewer");
    } else if (at(12.0)) {
        if (logRunning_) {
            op_.StopSteadyLog();
            logRunning_ = false;
            Act("steady log stop");
            std::vector<std::string> logs;
            for (const auto &path : ListFiles(station_.DataFolder(), ".csv"))
                if (IsSteadyLogFile(path))
                    logs.push_back(path);
            CheckLogFiles(logs, f_);
            for (const auto &path : logs)
                ::unlink(path.c_str());
        }
    } else if (at(13.0)) {
        // The save of this cycle may still be writing (a sanitizer build
        // writes its CSV files slowly): the replay then starts as soon as
        // it ends, up to the cycle's stop at 19 s.
        replayDue_ = true;
    } else if (at(19.0)) {
        op_.StopAcquisition();
        op_.ToggleHighPass();
        Act("stop");
        Act("high-pass");
    } else if (at(20.0)) {
        op_.StartRecording();
        Act("record");
    } else if (at(22.0)) {
        op_.StopAcquisition();
        Act("stop");
    }
    if (replayDue_ && (c >= 19.0 || lastStep_ >= 19.0))
        replayDue_ = false;
    if (replayDue_ && !saveRunning_ && !station_.Recording().Saving())
        ReplaySaved();
}

void SoakDriver::ReplaySaved()
{
    replayDue_ = false;
    int slot = SlotOfAddress(kReplayAddress);
    if (replayFile_.empty() || slot < 0)
        return;
    // The replayed connection's live bytes are set aside meanwhile.
    op_.SelectSlot(slot);
    f_.replayAffected.insert(kReplayAddress);
    if (op_.OpenRecording(replayFile_)) {
        op_.StartReplay();
        Act("replay");
        ++f_.replays;
        replayRunning_ = station_.Recording().AcquisitionState() == 2;
    } else {
        ++f_.loadsFailed;
        f_.problems.push_back("the station refused its own saved file " + replayFile_);
    }
}

void SoakDriver::FinishSave()
{
    saveRunning_ = false;
    lastSaveEnd_ = Now();
    const auto files = station_.Recording().Saver().LastFiles();
    const auto vdats = CheckSavedFiles(files, station_.DataFolder(), f_);
    // Files are read back, then removed: a long run would fill the disk.
    // The replay target's .vdat stays for the next replay.
    std::string next;
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "/%.4u_", kReplayAddress);
    for (const auto &v : vdats)
        if (v.find(prefix) != std::string::npos)
            next = v;
    for (const auto &path : files)
        if (path != next)
            ::unlink(path.c_str());
    if (!next.empty()) {
        if (!replayFile_.empty())
            ::unlink(replayFile_.c_str());
        replayFile_ = next;
    }
}

bool SoakDriver::End(double now)
{
    auto &table = station_.Table();
    switch (endPhase_) {
    case 0:
        if (logRunning_) {
            op_.StopSteadyLog();
            logRunning_ = false;
        }
        op_.CloseParameters();
        op_.StopAcquisition();
        endPhase_ = 1;
        return true;
    case 1:
        if (station_.Recording().Saving())
            return true;
        if (saveRunning_)
            FinishSave();
        if (now - lastSaveEnd_ < 3)
            return true;
        f_.rssEndKiB = ResidentKiB();
        // The faulty ones first, so that the waiting sensor gets its slot
        // and delivers what it has queued.
        hostile_.Stop();
        fleet_.Stop({"churn", "truncate", "corrupt", "hostile", "hostile-fleet", "fs-change"});
        endPhase_ = 2;
        endPhaseAt_ = now;
        return true;
    case 2:
        if (now - endPhaseAt_ < 3)
            return true;
        fleet_.Stop();
        endPhase_ = 3;
        endPhaseAt_ = now;
        quietSince_ = 0;
        return true;
    case 3:
        // Every connection released, and nothing left in the listen backlog.
        if (table.onlineCount.load() != 0 || table.CountInUse() != 0) {
            quietSince_ = 0;
            if (now - endPhaseAt_ > 20) {
                f_.problems.push_back("connections still open 20 s after the fleet stopped");
                endPhase_ = 4;
            }
            return true;
        }
        if (quietSince_ == 0)
            quietSince_ = now;
        if (now - quietSince_ < 1.5)
            return true;
        endPhase_ = 4;
        return true;
    case 4: {
        sim::FleetConfig probe = sim::DefaultFleetConfig();
        probe.base.port = uint16_t(station_.Port());
        probe.base.address = kProbeAddress;
        probe.base.quiet = true;
        probe.base.index = 77;
        probe_ = std::make_unique<sim::SimSensor>(probe.base);
        probeStart_ = Now();
        probe_->Start();
        endPhase_ = 5;
        [[fallthrough]];
    }
    case 5: {
        // Polled closely: the answer is wanted to the millisecond, and the
        // window has nothing else to do by now.
        while (Now() - probeStart_ < 5) {
            if (f_.probeAcceptSeconds < 0 && table.CountInUse() > 0)
                f_.probeAcceptSeconds = Now() - probeStart_;
            const int slot = SlotOfAddress(kProbeAddress);
            if (slot >= 0 && table.records[slot].packetsParsed.load() > 0) {
                f_.probeSeconds = Now() - probeStart_;
                break;
            }
            ::usleep(1000);
        }
        probe_->Stop();
        probe_.reset();
        endPhase_ = 6;
        return true;
    }
    default:
        CheckOnline(table, f_);
        return false;
    }
}

int SoakDriver::Result() const { return options_.assert && !f_.problems.empty() ? 1 : 0; }

}  // namespace tav::soak
