// The plant historian under a plant's load: 50 simulated stations of 40
// sensors, two ticks a second each (4,000 steady messages a second), through
// one Mosquitto into PostgreSQL by tavenor-plant, with a broker restart at a
// third of the run and a database restart at two thirds. Measures the
// messages lost, the CPU of the service, the broker and the database, the
// delay from a tick to its row being visible, the bytes a sensor-day takes,
// and how fast a sensor's 30 days of minutes read back.
//
// BENCH_PLANT_SECONDS (or --seconds N) shortens the run (default 600 s).
// Only private servers on free loopback ports, in a temporary folder.
#include <libpq-fe.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Figure.h"
#include "mqtt/TestBroker.h"
#include "PlantProcesses.h"

using namespace tav::bench;
using tav::test::WaitUntil;

namespace {

constexpr int kStations = 50;
constexpr int kSensors = 40;
constexpr int kIntervalMs = 500;
constexpr const char *kRoot = "tavenor/sim";
// Ticks from a little before a restart until this long after its part is
// back count as the restart's, not as the steady run's.
constexpr double kAfterRestartS = 60;

void Say(const char *fmt, const std::string &a = "")
{
    std::printf("bench_plant: ");
    std::printf(fmt, a.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

std::string StationName(int i)
{
    char name[8];
    std::snprintf(name, sizeof name, "st%02d", i + 1);
    return name;
}

// Watches sensor 1 of every station: every 200 ms the rows newer than
// the last seen, each tick's delay being the poll's start minus the tick
// (an upper bound: the row became visible at most one poll earlier).
class DelayWatch {
public:
    explicit DelayWatch(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    void Start() { thread_ = std::thread([this] { Run(); }); }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // (tick time in s, delay in s)
    std::vector<std::pair<double, double>> Samples()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return samples_;
    }

private:
    void Run()
    {
        std::map<std::string, long long> last;  // station -> newest tick seen, ms
        std::string names = "{";
        for (int i = 0; i < kStations; ++i)
            names += (i ? "," : "") + StationName(i);
        names += "}";
        long long since = (long long)(WallSeconds() * 1000) - 10000;
        PGconn *c = nullptr;
        while (!stop_) {
            const double pollStart = WallSeconds();
            if (!c || PQstatus(c) != CONNECTION_OK) {
                if (c)
                    PQfinish(c);
                c = PQconnectdb(conninfo_.c_str());
            }
            if (PQstatus(c) == CONNECTION_OK) {
                const std::string sinceText = std::to_string(since);
                const char *params[2] = {names.c_str(), sinceText.c_str()};
                PGresult *r = PQexecParams(c,
                                           "select station, (extract(epoch from time) * 1000)::bigint,"
                                           " extract(epoch from statement_timestamp()) from steady"
                                           " where station = any($1::text[]) and address = 1"
                                           " and time > to_timestamp($2::bigint / 1000.0)",
                                           2, nullptr, params, nullptr, nullptr, 0);
                if (PQresultStatus(r) == PGRES_TUPLES_OK) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    for (int i = 0; i < PQntuples(r); ++i) {
                        const std::string station = PQgetvalue(r, i, 0);
                        const long long ms = std::atoll(PQgetvalue(r, i, 1));
                        long long &seen = last[station];
                        if (ms <= seen)
                            continue;
                        seen = ms;
                        // The statement's snapshot sees the row: it was committed by then.
                        const double seenAt = std::atof(PQgetvalue(r, i, 2));
                        samples_.push_back({ms / 1000.0, seenAt - ms / 1000.0});
                    }
                    if (last.size() == size_t(kStations)) {
                        since = last.begin()->second;
                        for (const auto &[s, ms] : last)
                            since = std::min(since, ms);
                    }
                }
                PQclear(r);
            }
            const double next = pollStart + 0.2;
            while (!stop_ && WallSeconds() < next)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (c)
            PQfinish(c);
    }

    std::string conninfo_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::pair<double, double>> samples_;
};

// What the simulator said at its end.
struct SimCounts {
    unsigned long long steady = 0, handed = 0, published = 0, dropped = 0, unsent = 0;
};

SimCounts ReadSimCounts(const std::string &log)
{
    SimCounts c;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const size_t at = line.find("ticks, ");
        if (at != std::string::npos)
            std::sscanf(line.c_str() + at,
                        "ticks, %llu steady messages and %*u alarm events made; %llu messages published "
                        "(acknowledged by the broker), %llu dropped, %llu left unsent",
                        &c.steady, &c.published, &c.dropped, &c.unsent);
        std::sscanf(line.c_str(), "tavenor-sim: %llu steady messages handed", &c.handed);
    }
    return c;
}

// One sensor's 30 days of minute aggregates, written straight into
// steady_minute, then read back by the README's query and by the export
// tool. Returns false when the rows could not be made.
bool MeasureMonthRead(PGconn *c, const std::string &config, const std::string &dir)
{
    const long rows = InsertMinuteMonth(c, "bench-read", 1, "now()");
    // The export looks the sensor up among those the stations announced.
    Query(c, "insert into sensors (station, address, name, first_seen, last_seen)"
             " values ('bench-read', 1, 'bench', now(), now()) on conflict do nothing");
    if (rows < 43000)
        return false;

    std::vector<double> query, tool;
    for (int run = 0; run < 5; ++run) {
        double t = WallSeconds();
        PGresult *r = PQexec(c,
                             "select time, x_vr_max from steady_minute where station = 'bench-read' and address = 1"
                             " and time > now() - interval '30 days'");
        query.push_back(WallSeconds() - t);
        PQclear(r);
        t = WallSeconds();
        const pid_t pid = Spawn({TAVENOR_PLANT_PATH, "export", "--config", config, "--address", "1", "--station",
                                 "bench-read", "--from", "-30d", "--resolution", "minute", "--out",
                                 dir + "/month.csv"},
                                dir + "/export.log");
        int status = 0;
        ::waitpid(pid, &status, 0);
        tool.push_back(WallSeconds() - t);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            Say("export failed, see %s/export.log", dir);
    }
    PrintFigure("plant: 30 days of one sensor's minutes (43,200 rows), README query, median of 5",
                Percentile(query, 0.5) * 1000, "ms", "<= 200");
    PrintFigure("plant: the same through tavenor-plant export --resolution minute (CSV, every column), median of 5",
                Percentile(tool, 0.5) * 1000, "ms", "<= 200");
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 600;
    if (const char *env = std::getenv("BENCH_PLANT_SECONDS"))
        seconds = std::atof(env);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
    seconds = std::max(seconds, 30.0);
    signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/tavenor-bench-plant-XXXXXX";
    if (!::mkdtemp(pattern)) {
        Say("no temporary folder");
        return 1;
    }
    const std::string dir = pattern;
    // The database's account must be able to enter it.
    ::chmod(dir.c_str(), 0755);
    Say("folder %s", dir);

    PlantPostgres pg(dir + "/pg");
    PlantBroker broker(dir + "/mosquitto");
    pid_t plant = -1, sim = -1;
    int status = 1;
    auto cleanup = [&] {
        if (sim > 0)
            StopAndReap(sim, SIGKILL);
        if (plant > 0)
            StopAndReap(plant, SIGTERM);
        broker.Stop();
        pg.Stop();
        if (!std::getenv("BENCH_PLANT_KEEP"))
            std::filesystem::remove_all(dir);
    };
    if (!pg.Init() || !pg.Start()) {
        Say("PostgreSQL did not start (is the server installed? see %s/pg)", dir);
        cleanup();
        return 1;
    }
    {
        PGconn *c = PQconnectdb(pg.Conninfo("postgres").c_str());
        Query(c, "create database tavenor_plant");
        PQfinish(c);
    }
    if (!broker.Start()) {
        Say("mosquitto did not start, see %s/mosquitto", dir);
        cleanup();
        return 1;
    }
    const std::string config = dir + "/plant.toml";
    {
        std::ofstream toml(config);
        toml << "[broker]\nurl = \"" << broker.Url() << "\"\nclient_id = \"tavenor-plant-bench\"\nprefixes = [\""
             << kRoot << "/+\"]\n[database]\nconninfo = \"" << pg.Conninfo("tavenor_plant")
             << "\"\nbuffer_rows = 2000000\nbatch_interval_ms = 1000\n";
    }
    const std::string plantLog = dir + "/plant.log";
    plant = Spawn({TAVENOR_PLANT_PATH, "--config", config, "run"}, plantLog);
    if (!WaitSubscribed(broker.Port(), kRoot, plantLog)) {
        Say("the service did not subscribe, see %s", plantLog);
        cleanup();
        return 1;
    }

    DelayWatch watch(pg.Conninfo("tavenor_plant"));
    watch.Start();
    const double t0 = WallSeconds();
    const double plantCpu0 = CpuSeconds(plant, false), brokerCpu0 = CpuSeconds(broker.Pid(), false),
                 pgCpu0 = CpuSeconds(pg.Pid(), true);
    double brokerCpu = -brokerCpu0, pgCpu = -pgCpu0;
    const std::string simLog = dir + "/sim.log";
    sim = Spawn({TAVENOR_SIM_PATH, "--publish", broker.Url(), "--stations", std::to_string(kStations), "--sensors",
                 std::to_string(kSensors), "--interval-ms", std::to_string(kIntervalMs), "--prefix-root", kRoot,
                 "--duration", std::to_string(int(seconds)), "--stats-every", "30"},
                simLog);
    Say("running %s s: 50 stations x 40 sensors every 500 ms", std::to_string(int(seconds)));

    // The restarts: each part down for 3 s.
    struct Fault {
        double from = 0, back = 0;
    };
    Fault brokerFault, pgFault;
    auto waitUntilRunTime = [&](double at) {
        while (WallSeconds() < t0 + at && Alive(sim))
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    waitUntilRunTime(seconds / 3);
    brokerFault.from = WallSeconds();
    brokerCpu += broker.Stop();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const bool brokerBack = broker.Start();
    brokerFault.back = WallSeconds();
    Say(brokerBack ? "broker restarted" : "the broker did not come back");
    waitUntilRunTime(2 * seconds / 3);
    pgFault.from = WallSeconds();
    pgCpu += pg.Stop();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const bool pgBack = pg.Start();
    pgFault.back = WallSeconds();
    Say(pgBack ? "PostgreSQL restarted" : "PostgreSQL did not come back");

    WaitUntil([&] { return !Alive(sim); }, seconds + 120);
    const double runSeconds = WallSeconds() - t0;
    const double plantCpu = CpuSeconds(plant, false) - plantCpu0;
    brokerCpu += CpuSeconds(broker.Pid(), false);
    pgCpu += CpuSeconds(pg.Pid(), true);
    if (Alive(sim))
        StopAndReap(sim, SIGKILL);
    sim = -1;

    // Until the service has written everything it received.
    PGconn *c = PQconnectdb(pg.Conninfo("tavenor_plant").c_str());
    long long rows = -1;
    WaitUntil(
        [&] {
            const long long now = std::atoll(Query(c, "select count(*) from steady").c_str());
            const bool settled = now == rows;
            rows = now;
            if (!settled)
                std::this_thread::sleep_for(std::chrono::seconds(3));
            return settled;
        },
        300);
    watch.Stop();

    const SimCounts sent = ReadSimCounts(simLog);
    Say("simulator: %s", std::to_string(sent.steady) + " steady messages made, " + std::to_string(sent.handed) + " handed to the links, " +
                             std::to_string(sent.published) +
                             " messages acknowledged by the broker, " + std::to_string(sent.dropped) + " dropped, " +
                             std::to_string(sent.unsent) + " unsent; rows in steady " + std::to_string(rows));
    PrintFigure("plant: steady messages lost (handed to the simulated stations' links - rows in steady)",
                double((long long)sent.handed - rows), "messages", "0");
    PrintFigure("plant: steady messages the simulator made but its stalled links never took (replaced)",
                double(sent.steady - sent.handed), "messages", "-");
    PrintFigure("plant: messages the simulated stations' links dropped or left unsent",
                double(sent.dropped + sent.unsent), "messages", "0");
    PrintFigure("plant: tavenor-plant CPU, 50 x 40 sensors every 500 ms", 100 * plantCpu / runSeconds,
                "% of a core", "<= 15");
    PrintFigure("plant: Mosquitto CPU, the same run", 100 * brokerCpu / runSeconds, "% of a core", "-");
    PrintFigure("plant: PostgreSQL CPU (every process), the same run", 100 * pgCpu / runSeconds, "% of a core", "-");

    std::vector<double> steadyDelays;
    double brokerWorst = 0, pgWorst = 0, brokerLate = 0, pgLate = 0;
    for (const auto &[tick, delay] : watch.Samples()) {
        bool inFault = false;
        for (auto [f, worst, late] : {std::tuple{&brokerFault, &brokerWorst, &brokerLate},
                                      std::tuple{&pgFault, &pgWorst, &pgLate}}) {
            if (tick >= f->from - 2 && tick <= f->back + kAfterRestartS) {
                inFault = true;
                *worst = std::max(*worst, delay);
                if (delay > 2)
                    *late = std::max(*late, tick - f->from);
            }
        }
        if (!inFault && tick >= t0)
            steadyDelays.push_back(delay);
    }
    Say("delay samples outside the restarts: %s", std::to_string(steadyDelays.size()));
    // The delays through the run, 30 s of ticks a line: where a slow
    // stretch came from (a restart, the minute's aggregates, a busy machine).
    {
        std::map<int, std::vector<double>> spans;
        for (const auto &[tick, delay] : watch.Samples())
            if (tick >= t0)
                spans[int((tick - t0) / 30)].push_back(delay);
        for (const auto &[span, delays] : spans)
            std::printf("bench_plant: ticks %4d..%4d s: delay median %.2f s, p99 %.2f s, max %.2f s\n", span * 30,
                        span * 30 + 30, Percentile(delays, 0.5), Percentile(delays, 0.99), Percentile(delays, 1));
    }
    PrintFigure("plant: tick to row delay, median (outside the restarts; 200 ms polls)",
                Percentile(steadyDelays, 0.5) * 1000, "ms", "-");
    PrintFigure("plant: tick to row delay, 99th percentile (outside the restarts)",
                Percentile(steadyDelays, 0.99) * 1000, "ms", "<= 2000");
    PrintFigure("plant: broker restart (3 s down), worst tick to row delay", brokerWorst, "s", "-");
    PrintFigure("plant: broker restart, ticks late by more than 2 s until", brokerLate, "s after it stopped", "-");
    PrintFigure("plant: PostgreSQL restart (3 s down), worst tick to row delay", pgWorst, "s", "-");
    PrintFigure("plant: PostgreSQL restart, ticks late by more than 2 s until", pgLate, "s after it stopped", "-");

    const double bytes = std::atof(Query(c,
                                         "select sum(pg_total_relation_size(inhrelid)) from pg_inherits"
                                         " where inhparent = 'steady'::regclass")
                                       .c_str());
    const double sensorDays = double(rows) / (86400.0 * 1000 / kIntervalMs);
    if (sensorDays > 0)
        PrintFigure("plant: bytes per sensor-day in steady (two ticks a second, with its key)",
                    bytes / sensorDays / 1e6, "MB", "-");

    if (MeasureMonthRead(c, config, dir))
        status = 0;
    else
        Say("the 30 days of minutes could not be made");
    PQfinish(c);
    if (!brokerBack || !pgBack)
        status = 1;
    cleanup();
    plant = -1;
    return status;
}
