#pragma once
// What the benchmarks of the whole station share: a station on a free port,
// a paced tavenor-sim fleet against it and the station's usage while it
// streams, and a machine's signal written into the live capture as the
// conditioning would write it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "Figure.h"
#include "core/processing/LiveCapture.h"
#include "core/station/Station.h"
#include "support/TestPeers.h"

extern char **environ;

namespace tav::bench {

// Listening on a free port, its files in /tmp.
inline StationOptions FleetStationOptions()
{
    StationOptions options;
    options.port = 0;
    options.startFolder = "/tmp";
    return options;
}

// False, with a line printed, when the station does not start.
inline bool StartStation(Station &station)
{
    std::vector<std::string> errors;
    if (station.Start(&errors) == 0)
        return true;
    std::printf("station did not start\n");
    return false;
}

// Sensors in the fleet: 40, or BENCH_SENSORS (a profiler's run, which
// cannot keep pace with all of them).
inline int FleetSensors()
{
    const char *text = std::getenv("BENCH_SENSORS");
    const int n = text ? std::atoi(text) : 40;
    return n >= 1 && n <= 40 ? n : 40;
}

// Starts `simPath` with FleetSensors() paced sensors (speeds 15 rpm apart) against
// `port` for `seconds`, its output going to `outputPath` (read back with
// ReadSimSent), `extra` arguments added. The process id, or -1 with a line
// printed.
inline pid_t SpawnFleet(const char *simPath, int port, int seconds, const std::string &outputPath,
                        const std::vector<const char *> &extra = {})
{
    const std::string portText = std::to_string(port);
    const std::string duration = std::to_string(seconds), sensors = std::to_string(FleetSensors());
    std::vector<const char *> argv = {simPath,      "--port",         portText.c_str(), "--sensors", sensors.c_str(),
                                      "--rpm-step", "15",             "--duration",     duration.c_str(), "--quiet"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, simPath, &actions, nullptr, const_cast<char **>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::printf("cannot start %s\n", simPath);
        return -1;
    }
    return pid;
}

// The station's process usage from the moment the whole fleet is in until
// the fleet's process has ended.
struct FleetUsage {
    Usage before, after;
    double wall = 0;
    double CpuPercent() const { return 100.0 * (after.cpu - before.cpu) / wall; }
};

// Waits (20 s at most) for the fleet's sensors, shows the first, and
// waits for the fleet's process `pid` to end.
inline FleetUsage AwaitFleet(Station &station, pid_t pid)
{
    test::WaitFor([&] { return station.Table().CountInUse() == FleetSensors(); }, std::chrono::seconds(20));
    station.Table().selectedConnection = 0;  // one sensor on the displayed path
    FleetUsage usage;
    usage.before = ProcessUsage();
    const auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    waitpid(pid, &status, 0);
    usage.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    usage.after = ProcessUsage();
    return usage;
}

// `rows` rows at `fs` of a machine with noise (29.5 Hz and 1234.5 Hz), the
// same on every axis and quantity of slot 0; `row` counts on.
inline void WriteMachineSignal(LiveCapture &capture, float fs, int rows, long &row)
{
    static std::vector<float> values;
    values.resize(static_cast<size_t>(rows));
    for (size_t i = 0; i < values.size(); ++i, ++row) {
        const double t = row / double(fs);
        values[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 29.5 * t) +
                                       0.1 * std::sin(2 * std::numbers::pi * 1234.5 * t) +
                                       0.01 * (((row * 2654435761u) >> 16) % 1000 / 500.0 - 1.0));
    }
    const float *src[3][3];
    for (auto &axis : src)
        for (auto &q : axis)
            q = values.data();
    capture.Write(0, fs, src, rows);
}

}  // namespace tav::bench
