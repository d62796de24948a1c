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
#include "app/Station.h"
#include "support/TestPeers.h"

extern char **environ;

int main()
{
    int seconds = std::getenv("BENCH_SECONDS") ? std::atoi(std::getenv("BENCH_SECONDS")) : 20;
    tav::test::RecordingEventSink sink;
    tav::StationOptions options;
    options.port = 0;
    options.startFolder = "/tmp";
    tav::Station station(options, sink);
    std::vector<std::string> errors;
    if (station.Start(&errors) != 0) {
        std::printf("station did not start\n");
        return 1;
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
        return 1;
    }
    tav::test::WaitFor([&] { return station.Table().CountInUse() == 40; }, std::chrono::seconds(20));
    station.Table().selectedConnection = 0;  // one sensor on the displayed path
    const tav::bench::Usage u0 = tav::bench::ProcessUsage();
    auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    waitpid(pid, &status, 0);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const tav::bench::Usage u1 = tav::bench::ProcessUsage();
    const double cpu = u1.cpu - u0.cpu;
    const long switches = u1.switches - u0.switches;
    const double rssMb = tav::bench::RssMb();
    // Let the parsers finish what is already in the rings.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    uint64_t received = 0, packets = 0, dropped = 0;
    for (auto &r : station.Table().records) {
        received += r.bytesReceived.load();
        packets += r.packetsParsed.load();
        dropped += r.droppedBytes.load();
    }
    const tav::bench::SimSent sent = tav::bench::ReadSimSent(out);
    const unsigned long long sentBytes = sent.bytes, sentPackets = sent.packets;
    station.Stop();
    std::printf("paced fleet, 40 sensors at 26667 Hz for %d s (one displayed):\n", seconds);
    std::printf("  bytes sent %llu, received %llu, lost %lld (goal 0)\n", sentBytes, (unsigned long long)received,
                (long long)sentBytes - (long long)received);
    std::printf("  packets sent %llu, parsed %llu, dropped bytes %llu\n", sentPackets, (unsigned long long)packets,
                (unsigned long long)dropped);
    std::printf("  station CPU (receive + parse + conditioning + spectra/speed): %.2f %% of one core\n",
                100.0 * cpu / wall);
    std::printf("  context switches: %.0f per second\n", switches / wall);
    std::printf("  RSS with 40 connected: %.1f MB (goal < 250 MB)\n", rssMb);
    return 0;
}
