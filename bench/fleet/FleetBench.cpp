// A paced fleet against the whole station core: 40 simulated sensors at
// 26667 Hz (a separate tavenor-sim process, so that only the station's own
// CPU is counted) through receive, parse, conditioning and the processing
// thread, with one sensor displayed. Prints bytes sent and received, packets
// lost, station CPU per wall second and RSS. BENCH_SECONDS sets the length.
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "Figure.h"
#include "core/station/Station.h"
#include "support/TestPeers.h"

extern char **environ;

namespace {

struct FleetRun {
    double cpuPercent = 0, switchesPerSecond = 0, rssMb = 0;
    unsigned long long sentBytes = 0, sentPackets = 0, received = 0, packets = 0, dropped = 0;
    bool ok = false;
};

// One station against one paced fleet for `seconds`; `checks` says whether
// the accept thread's garbage and eviction rules run.
FleetRun RunFleet(int seconds, bool checks)
{
    FleetRun run;
    tav::test::RecordingEventSink sink;
    tav::StationOptions options;
    options.port = 0;
    options.startFolder = "/tmp";
    if (!checks) {
        options.settings.access.garbageTimeoutS = 0;
        options.settings.access.idleEvictS = 0;
    }
    tav::Station station(options, sink);
    std::vector<std::string> errors;
    if (station.Start(&errors) != 0) {
        std::printf("station did not start\n");
        return run;
    }

    std::string port = std::to_string(station.Port());
    std::string duration = std::to_string(seconds);
    std::string out = "/tmp/bench_fleet_sim.txt";
    const char *argv[] = {TAVENOR_SIM_PATH, "--port", port.c_str(), "--sensors", "40", "--rpm-step", "15",
                          "--duration", duration.c_str(), "--quiet", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ) != 0) {
        std::printf("cannot start %s\n", argv[0]);
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    tav::test::WaitFor([&] { return station.Table().CountInUse() == 40; }, std::chrono::seconds(20));
    station.Table().selectedConnection = 0;  // one sensor on the displayed path
    const tav::bench::Usage u0 = tav::bench::ProcessUsage();
    auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    waitpid(pid, &status, 0);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const tav::bench::Usage u1 = tav::bench::ProcessUsage();
    run.cpuPercent = 100.0 * (u1.cpu - u0.cpu) / wall;
    run.switchesPerSecond = double(u1.switches - u0.switches) / wall;
    run.rssMb = tav::bench::RssMb();
    // Let the parsers finish what is already in the rings.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (auto &r : station.Table().records) {
        run.received += r.bytesReceived.load();
        run.packets += r.packetsParsed.load();
        run.dropped += r.droppedBytes.load();
    }
    const tav::bench::SimSent sent = tav::bench::ReadSimSent(out);
    run.sentBytes = sent.bytes;
    run.sentPackets = sent.packets;
    station.Stop();
    run.ok = true;
    return run;
}

}  // namespace

int main()
{
    int seconds = std::getenv("BENCH_SECONDS") ? std::atoi(std::getenv("BENCH_SECONDS")) : 20;
    // The figure of record first, then the accept thread's checks off and on
    // in turn (half the time each, twice), so that drift in the machine's
    // load falls on both alike.
    const FleetRun run = RunFleet(seconds, true);
    if (!run.ok)
        return 1;
    std::printf("paced fleet, 40 sensors at 26667 Hz for %d s (one displayed):\n", seconds);
    std::printf("  bytes sent %llu, received %llu, lost %lld (goal 0)\n", run.sentBytes, run.received,
                (long long)run.sentBytes - (long long)run.received);
    std::printf("  packets sent %llu, parsed %llu, dropped bytes %llu\n", run.sentPackets, run.packets, run.dropped);
    std::printf("  station CPU (receive + parse + conditioning + spectra/speed): %.2f %% of one core\n",
                run.cpuPercent);
    std::printf("  context switches: %.0f per second\n", run.switchesPerSecond);
    std::printf("  RSS with 40 connected: %.1f MB (goal < 250 MB)\n", run.rssMb);

    const int half = seconds / 2 < 5 ? 5 : seconds / 2;
    double off = 0, on = 0;
    for (int round = 0; round < 2; ++round) {
        const FleetRun a = RunFleet(half, false);
        const FleetRun b = RunFleet(half, true);
        if (!a.ok || !b.ok)
            return 1;
        std::printf("  round %d: checks off %.2f %%, on %.2f %% of one core\n", round + 1, a.cpuPercent, b.cpuPercent);
        off += a.cpuPercent / 2;
        on += b.cpuPercent / 2;
    }
    std::printf("  garbage and eviction checks: CPU %.2f %% of one core off, %.2f %% on (%+.2f)\n", off, on, on - off);
    tav::bench::PrintFigure("fleet CPU, garbage and eviction checks off", off, "% of a core", "-");
    tav::bench::PrintFigure("fleet CPU, garbage and eviction checks on", on, "% of a core", "= off");
    return 0;
}
