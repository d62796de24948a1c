// tavenor-sim: a fleet of simulated sensors for demos and tests.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <ctime>

#include "sim/DeviceRecords.h"
#include "sim/PublishFleet.h"
#include "sim/SimFleet.h"
#include "sim/SimOptions.h"

using namespace tav::sim;

namespace {

// A reader that finds the file finds all of it: written aside, then renamed.
bool WriteReport(const std::string &path, const std::string &text)
{
    const std::string temp = path + ".part";
    std::FILE *f = std::fopen(temp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (ok && std::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    std::remove(temp.c_str());
    return false;
}

int64_t UtcMs()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// --publish: simulated stations on a broker, ticking until a signal or
// --duration, then a clean exit of each and the counts.
int RunPublish(const FleetConfig &config, const sigset_t &stopSignals)
{
    const PublishConfig &p = config.publish;
    std::printf("tavenor-sim: %d station(s) of %d sensor(s) publishing to %s under %s/%s .. %s/%s every %d ms\n",
                p.stations, p.sensors, p.url.c_str(), p.prefixRoot.c_str(), StationName(0, p.stations).c_str(),
                p.prefixRoot.c_str(), StationName(p.stations - 1, p.stations).c_str(), p.intervalMs);
    std::fflush(stdout);
    PublishFleet fleet(p);
    std::string error;
    if (!fleet.Start(&error)) {
        std::fprintf(stderr, "tavenor-sim: %s\n", error.c_str());
        return 1;
    }
    const double start = MonotonicSeconds();
    double nextTick = start;
    double nextStats = start + config.statsEvery;
    int stopSignal = 0;
    while (stopSignal == 0) {
        double now = MonotonicSeconds();
        if (config.duration > 0 && now - start >= config.duration)
            break;
        if (now >= nextTick) {
            fleet.Tick(UtcMs());
            nextTick += p.intervalMs / 1000.0;
            // A machine that stalled for longer skips the ticks it missed.
            if (nextTick < now)
                nextTick = now + p.intervalMs / 1000.0;
        }
        if (config.statsEvery > 0 && now >= nextStats) {
            nextStats += config.statsEvery;
            std::printf("tavenor-sim: %.0f s, %d of %d stations connected, %llu published, %llu queued\n",
                        now - start, fleet.Connected(), p.stations, (unsigned long long)fleet.Published(),
                        (unsigned long long)fleet.Queued());
            std::fflush(stdout);
        }
        const double wait = std::max(0.0, std::min(nextTick, config.statsEvery > 0 ? nextStats : nextTick) - now);
        timespec ts{time_t(wait), long((wait - double(time_t(wait))) * 1e9)};
        const int sig = sigtimedwait(&stopSignals, nullptr, &ts);
        if (sig > 0)
            stopSignal = sig;
    }
    const double elapsed = MonotonicSeconds() - start;
    fleet.Stop();
    std::printf("tavenor-sim: stopped after %.1f s%s: %llu ticks, %llu steady messages and %llu alarm events made; "
                "%llu messages published (acknowledged by the broker), %llu dropped, %llu left unsent\n",
                elapsed, stopSignal ? " (signal)" : "", (unsigned long long)fleet.Ticks(),
                (unsigned long long)fleet.SteadyMade(), (unsigned long long)fleet.AlarmEvents(),
                (unsigned long long)fleet.Published(), (unsigned long long)fleet.Dropped(),
                (unsigned long long)fleet.Queued());
    // A tick that came before its link had taken the previous one replaced
    // it (as on a stalled station): those were made but never sent.
    std::printf("tavenor-sim: %llu steady messages handed to the stations' links\n",
                (unsigned long long)(fleet.Digested() * uint64_t(std::min(p.sensors, tav::kSlotCount))));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    FleetConfig config;
    std::string error;
    switch (ParseSimOptions(args, &config, &error)) {
    case ParseResult::Help:
        std::fputs(SimUsage().c_str(), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "tavenor-sim: %s\n", error.c_str());
        return 2;
    case ParseResult::Run:
        break;
    }

    if (!config.deviceRecordsFile.empty()) {
        if (!WriteDeviceRecords(config, config.deviceRecordsFile, &error)) {
            std::fprintf(stderr, "tavenor-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("tavenor-sim: wrote the device records of %d sensor(s) from address %u into %s\n",
                    config.sensors, config.firstAddress, config.deviceRecordsFile.c_str());
        return 0;
    }

    // Signals are taken synchronously by the main loop below; blocking them
    // before any thread starts keeps them away from the sensor threads.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!config.publish.url.empty())
        return RunPublish(config, stopSignals);

    const SensorConfig &b = config.base;
    std::printf("tavenor-sim: %d sensor(s) from address %u to %s:%u, fs %.1f Hz, temperature %.1f C\n",
                config.sensors, config.firstAddress, b.host.c_str(), b.port, b.fs, double(b.temperature));
    std::printf("tavenor-sim: x %s | y %s | z %s\n", FormatAxisSignal(b.axes[0]).c_str(),
                FormatAxisSignal(b.axes[1]).c_str(), FormatAxisSignal(b.axes[2]).c_str());
    // Register 1 starts at +-8 g; say so rather than clip silently.
    for (int a = 0; a < 3; ++a)
        if (b.axes[a].PeakWithoutNoise() > 8.0)
            std::printf("tavenor-sim: note: the %c axis reaches %.2f g, beyond the +-8 g measuring range; "
                        "samples are clipped\n",
                        "xyz"[a], b.axes[a].PeakWithoutNoise());
    std::fflush(stdout);

    SimFleet fleet(config);
    fleet.Start();

    const double start = MonotonicSeconds();
    double nextStats = start + config.statsEvery;
    int stopSignal = 0;
    while (stopSignal == 0) {
        timespec wait{0, 200 * 1000 * 1000};
        int sig = sigtimedwait(&stopSignals, nullptr, &wait);
        if (sig > 0)
            stopSignal = sig;
        double now = MonotonicSeconds();
        if (config.duration > 0 && now - start >= config.duration)
            break;
        if (config.statsEvery > 0 && now >= nextStats) {
            nextStats += config.statsEvery;
            std::printf("tavenor-sim: %.0f s, %d connected, %s\n", now - start, fleet.ConnectedCount(),
                        fleet.Totals().Summary().c_str());
            std::fflush(stdout);
        }
    }
    fleet.Stop();
    const double elapsed = MonotonicSeconds() - start;
    const SensorCounts total = fleet.Totals();
    std::printf("tavenor-sim: stopped after %.1f s%s\n%s", elapsed, stopSignal ? " (signal)" : "",
                fleet.Report().c_str());
    std::printf("tavenor-sim: sent %llu bytes, %llu packets, %.1f packets/s\n",
                (unsigned long long)total.bytesSent, (unsigned long long)total.packetsSent,
                elapsed > 0 ? double(total.packetsSent) / elapsed : 0.0);
    if (!config.reportFile.empty() && !WriteReport(config.reportFile, fleet.ReportJson())) {
        std::fprintf(stderr, "tavenor-sim: cannot write %s: %s\n", config.reportFile.c_str(), std::strerror(errno));
        return 1;
    }
    return 0;
}
