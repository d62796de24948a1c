// The plant's pages under a plant's load: 50 simulated stations of 40
// sensors (2,000 machines) ticking every 500 ms through one Mosquitto into
// tavenor-plant and PostgreSQL, all private on free loopback ports. Measures
// the overview's first load in headless Chromium, the service's CPU with 20
// live pages beside its CPU without any, the delay from a tick to the
// page, and a machine's 30-day trend read and drawn in the browser.
//
// BENCH_WEB_SECONDS (or --seconds N) sets the span of the live pages
// (default 60 s; the span without pages is half of it). Without Chromium,
// its driver and python3-selenium the browser figures are left out and
// every live page is an HTTP client.
#include <libpq-fe.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Figure.h"
#include "PlantProcesses.h"
#include "SseClient.h"
#include "mqtt/TestBroker.h"

using namespace tav::bench;
using tav::test::WaitUntil;

namespace {

constexpr int kStations = 50;
constexpr int kSensors = 40;
constexpr int kMachines = kStations * kSensors;
constexpr int kIntervalMs = 500;
constexpr int kPages = 20;
constexpr int kBrowserPages = 2;
constexpr int kRuns = 5;
constexpr const char *kRoot = "tavenor/sim";
constexpr const char *kUser = "bench";
constexpr const char *kTrendMachine = "st01/1";

void Say(const std::string &text)
{
    std::printf("bench_web: %s\n", text.c_str());
    std::fflush(stdout);
}

std::string Fixed(double v, int digits = 1)
{
    char out[32];
    std::snprintf(out, sizeof out, "%.*f", digits, v);
    return out;
}

double LoadAverage()
{
    double load = -1;
    if (FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = -1;
        std::fclose(f);
    }
    return load;
}

// The lines of `file` that start with `word`, the word taken off.
std::vector<std::string> LinesOf(const std::string &file, const std::string &word)
{
    std::vector<std::string> out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(word + " ", 0) == 0)
            out.push_back(line.substr(word.size() + 1));
        else if (line == word)
            out.push_back("");
    return out;
}

// Waits up to `seconds` for the child; kills its whole session (the browser
// too) when it takes longer. True when it ended with status 0.
bool WaitChild(pid_t pid, double seconds)
{
    int status = 0;
    const bool ended = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, seconds);
    if (!ended) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool BrowserReady(const std::string &dir)
{
    const pid_t pid = Spawn({"/usr/bin/python3", TAVENOR_WEB_PAGES, "check"}, dir + "/check.log");
    return pid > 0 && WaitChild(pid, 60);
}

// Runs the browser's side in `mode`; its result lines are in the log returned.
std::string RunPages(const std::string &dir, const std::string &url, const std::vector<std::string> &extra,
                     double seconds)
{
    static int run = 0;
    const std::string log = dir + "/pages-" + std::to_string(++run) + "-" + extra[0] + ".log";
    std::vector<std::string> argv = {"/usr/bin/python3", TAVENOR_WEB_PAGES, extra[0], url, kUser};
    argv.insert(argv.end(), extra.begin() + 1, extra.end());
    const pid_t pid = Spawn(argv, log);
    if (!WaitChild(pid, seconds))
        Say("the browser's " + extra[0] + " run failed, see " + log);
    return log;
}

std::string HashPassword(const std::string &dir, const std::string &password)
{
    const std::string file = dir + "/password";
    std::ofstream(file) << password << "\n";
    FILE *p = ::popen((std::string(TAVENOR_PLANT_PATH) + " hash-password < " + file).c_str(), "r");
    std::string hash;
    char line[256];
    if (p && std::fgets(line, sizeof line, p))
        hash = line;
    if (p)
        ::pclose(p);
    std::filesystem::remove(file);
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r'))
        hash.pop_back();
    return hash;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 60;
    if (const char *env = std::getenv("BENCH_WEB_SECONDS"))
        seconds = std::atof(env);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
    seconds = std::max(seconds, 10.0);
    signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/tavenor-bench-web-XXXXXX";
    if (!::mkdtemp(pattern)) {
        Say("no temporary folder");
        return 1;
    }
    const std::string dir = pattern;
    // The database's account must be able to enter it.
    ::chmod(dir.c_str(), 0755);
    Say("folder " + dir);

    PlantPostgres pg(dir + "/pg");
    PlantBroker broker(dir + "/mosquitto");
    pid_t plant = -1, sim = -1;
    auto cleanup = [&] {
        if (sim > 0)
            StopAndReap(sim, SIGKILL);
        if (plant > 0)
            StopAndReap(plant, SIGTERM);
        broker.Stop();
        pg.Stop();
        if (!std::getenv("BENCH_WEB_KEEP"))
            std::filesystem::remove_all(dir);
    };
    if (!pg.Init() || !pg.Start()) {
        Say("PostgreSQL did not start (is the server installed? see " + dir + "/pg)");
        cleanup();
        return 1;
    }
    PGconn *db = PQconnectdb(pg.Conninfo("postgres").c_str());
    Query(db, "create database tavenor_plant");
    PQfinish(db);
    if (!broker.Start()) {
        Say("mosquitto did not start, see " + dir + "/mosquitto");
        cleanup();
        return 1;
    }
    const std::string password = "bench-web-" + std::to_string(::getpid());
    const std::string hash = HashPassword(dir, password);
    ::setenv("BENCH_WEB_PASSWORD", password.c_str(), 1);
    const int webPort = tav::test::FreeLoopbackPort();
    const std::string url = "http://127.0.0.1:" + std::to_string(webPort);
    const std::string config = dir + "/plant.toml";
    {
        std::ofstream toml(config);
        toml << "[broker]\nurl = \"" << broker.Url() << "\"\nclient_id = \"tavenor-plant-bench\"\nprefixes = [\""
             << kRoot << "/+\"]\n[database]\nconninfo = \"" << pg.Conninfo("tavenor_plant")
             << "\"\nbatch_interval_ms = 1000\n[web]\nlisten = \"127.0.0.1:" << webPort
             << "\"\n[[web.user]]\nname = \"" << kUser << "\"\nrole = \"viewer\"\npassword_hash = \"" << hash
             << "\"\n";
    }
    const std::string plantLog = dir + "/plant.log";
    plant = Spawn({TAVENOR_PLANT_PATH, "--config", config, "run"}, plantLog);
    if (hash.empty() || !WaitSubscribed(broker.Port(), kRoot, plantLog) ||
        !WaitUntil([&] { return tav::test::Accepts(webPort); }, 30)) {
        Say("the service did not start, see " + plantLog);
        cleanup();
        return 1;
    }
    const double start = WallSeconds();
    sim = Spawn({TAVENOR_SIM_PATH, "--publish", broker.Url(), "--stations", std::to_string(kStations), "--sensors",
                 std::to_string(kSensors), "--interval-ms", std::to_string(kIntervalMs), "--prefix-root", kRoot,
                 "--duration", "3600"},
                dir + "/sim.log");
    Say("50 stations x 40 sensors every 500 ms; the web pages at " + url);

    // Every machine announced and ticking.
    db = PQconnectdb(pg.Conninfo("tavenor_plant").c_str());
    const bool ticking = WaitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            return std::atoi(Query(db, "select count(*) from sensors where last_seen > now() - interval '3 s'")
                                 .c_str()) >= kMachines;
        },
        120);
    if (!ticking) {
        Say("the 2,000 machines did not all arrive, see " + dir);
        PQfinish(db);
        cleanup();
        return 1;
    }
    // The trend's 30 days: minutes up to the run's start, the service's own after.
    const std::string trendStation = std::string(kTrendMachine).substr(0, 4);
    const long trendRows = InsertMinuteMonth(db, trendStation, 1, "to_timestamp(" + Fixed(start, 0) + ")");
    PQfinish(db);
    Say("30 days of minutes for " + std::string(kTrendMachine) + ": " + std::to_string(trendRows) + " rows");

    // The service with the plant and no page open.
    const double quietSpan = std::max(10.0, seconds / 2);
    double cpu0 = CpuSeconds(plant, false), t0 = WallSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(quietSpan));
    const double quietCpu = (CpuSeconds(plant, false) - cpu0) / (WallSeconds() - t0);
    Say("without pages: " + Fixed(100 * quietCpu) + " % of a core over " + Fixed(quietSpan, 0) + " s, load average " +
        Fixed(LoadAverage(), 2));

    const bool browser = BrowserReady(dir);
    if (!browser)
        Say("no headless Chromium (packages chromium, chromium-driver, python3-selenium; see " + dir +
            "/check.log): the browser figures are left out, every live page is an HTTP client");
    if (browser) {
        std::vector<double> dom, frame;
        for (const std::string &line :
             LinesOf(RunPages(dir, url, {"load", "--count", std::to_string(kRuns), "--tiles", std::to_string(kMachines)},
                              300),
                     "LOAD")) {
            double d = 0, f = 0;
            if (std::sscanf(line.c_str(), "%lf %lf", &d, &f) == 2) {
                dom.push_back(d);
                frame.push_back(f);
                Say("overview load: " + Fixed(d) + " ms to every tile in the DOM, " + Fixed(f) + " ms to the next frame");
            }
        }
        if (!dom.empty()) {
            PrintFigure("web: overview of 2,000 machines, first load in headless Chromium to every tile in the DOM,"
                        " median of 5", Percentile(dom, 0.5), "ms", "<= 1000");
            PrintFigure("web: the same to the first frame after it, median of 5", Percentile(frame, 0.5), "ms", "-");
        }
        std::vector<double> trend;
        for (const std::string &line : LinesOf(RunPages(dir, url,
                                                        {"trend", "--count", std::to_string(kRuns), "--machine",
                                                         kTrendMachine, "--tiles", "0"},
                                                        300),
                                               "TREND")) {
            double ms = 0;
            int points = 0;
            if (std::sscanf(line.c_str(), "%lf %d", &ms, &points) == 2 && ms >= 0) {
                trend.push_back(ms);
                Say("30-day trend: " + Fixed(ms) + " ms, " + std::to_string(points) + " minutes drawn");
            }
        }
        if (!trend.empty())
            PrintFigure("web: a machine's 30-day trend (43,200 minutes, min-max band), query plus first draw in"
                        " headless Chromium, median of 5", Percentile(trend, 0.5), "ms", "<= 500");
    }

    // The live pages: a few in the browser, the rest HTTP clients reading
    // the same stream. All of them hear every update before the span starts.
    const int browserPages = browser ? kBrowserPages : 0;
    const std::string stopFile = dir + "/stop-live";
    pid_t pages = -1;
    const std::string liveLog = dir + "/pages-live.log";
    if (browserPages > 0) {
        pages = Spawn({"/usr/bin/python3", TAVENOR_WEB_PAGES, "live", url, kUser, "--pages",
                       std::to_string(browserPages), "--stop", stopFile, "--tiles", std::to_string(kMachines)},
                      liveLog);
        if (!WaitUntil([&] { return FileHas(liveLog, "LIVE_READY") || !Alive(pages); }, 180) ||
            !FileHas(liveLog, "LIVE_READY")) {
            Say("the browser's live pages did not start, see " + liveLog);
            ::kill(-pages, SIGKILL);
            pages = -1;
        }
    }
    std::string error;
    const std::string cookie = WebLogin(webPort, kUser, password, &error);
    if (cookie.empty())
        Say("login failed: " + error);
    std::vector<std::unique_ptr<SseClient>> clients;
    for (int i = 0; !cookie.empty() && i < kPages - (pages > 0 ? browserPages : 0); ++i) {
        clients.push_back(std::make_unique<SseClient>(webPort, cookie));
        clients.back()->Start();
    }
    const bool allHear = WaitUntil(
        [&] {
            for (const auto &c : clients)
                if (c->Events() < 2 || c->Machines() < size_t(kMachines))
                    return false;
            return true;
        },
        60);
    if (!allHear)
        Say("not every HTTP client had its updates in 60 s");
    for (const auto &c : clients)
        c->Reset();
    cpu0 = CpuSeconds(plant, false);
    t0 = WallSeconds();
    const double load0 = LoadAverage();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double liveCpu = (CpuSeconds(plant, false) - cpu0) / (WallSeconds() - t0);
    const double load1 = LoadAverage();
    std::ofstream(stopFile) << "\n";
    std::vector<double> delays;
    int fewest = -1;
    double megabytes = 0;
    for (const auto &c : clients) {
        c->Stop();
        const std::vector<double> d = c->Delays();
        delays.insert(delays.end(), d.begin(), d.end());
        fewest = fewest < 0 ? c->Events() : std::min(fewest, c->Events());
        megabytes += c->Bytes() / 1e6;
    }
    if (pages > 0)
        WaitChild(pages, 120);
    Say(std::to_string(clients.size()) + " HTTP clients over " + Fixed(seconds, 0) + " s: at least " +
        std::to_string(fewest) + " updates each, " + Fixed(megabytes / double(std::max<size_t>(1, clients.size()))) +
        " MB each");
    for (const std::string &line : LinesOf(liveLog, "LIVE")) {
        int page = 0, events = 0, tiles = 0;
        double mb = 0;
        if (std::sscanf(line.c_str(), "%d %d %lf %d", &page, &events, &mb, &tiles) == 4)
            Say("Chromium page " + std::to_string(page + 1) + ": " + std::to_string(events) + " updates, " +
                Fixed(mb) + " MB, " + std::to_string(tiles) + " tiles");
    }
    Say("load average (1 min) " + Fixed(load0, 2) + " at the start of the live span, " + Fixed(load1, 2) +
        " at its end (2 cores, other work included)");

    const std::string who = pages > 0 ? std::to_string(browserPages) + " in Chromium, " +
                                            std::to_string(clients.size()) + " HTTP clients"
                                      : std::to_string(clients.size()) + " HTTP clients";
    PrintFigure(("web: tavenor-plant CPU with 20 live pages of the overview (" + who + "), 2,000 machines").c_str(),
                100 * liveCpu, "% of a core", "<= 10");
    PrintFigure("web: tavenor-plant CPU, the same plant without pages", 100 * quietCpu, "% of a core", "-");
    PrintFigure("web: load average (1 min) of the machine during the live pages", load1, "", "-");
    PrintFigure("web: tick to page delay, median (HTTP clients of /api/events)", Percentile(delays, 0.5) * 1000, "ms",
                "-");
    PrintFigure("web: tick to page delay, 99th percentile (HTTP clients)", Percentile(delays, 0.99) * 1000, "ms",
                "<= 2000");
    for (const std::string &line : LinesOf(liveLog, "BROWSER_DELAY")) {
        double median = 0, p99 = 0;
        if (std::sscanf(line.c_str(), "%lf %lf", &median, &p99) == 2) {
            PrintFigure("web: tick to page delay in Chromium, median", median, "ms", "-");
            PrintFigure("web: tick to page delay in Chromium, 99th percentile", p99, "ms", "<= 2000");
        }
    }
    const bool ok = !cookie.empty() && allHear && fewest > 0;
    cleanup();
    return ok ? 0 : 1;
}
