// Eight station cores publishing to one broker, one subscriber following
// docs/mqtt-plant.md: what arrives per second, how late after its tick, what
// is lost at QoS 1, and the CPU of the broker and of the stations.
// Each station core is the broker link fed with 40 sensors' steady values on
// every 500 ms tick (values made at the statistics level, not from waveforms,
// so that eight stations fit a small machine).
#include <mosquitto.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Figure.h"
#include "core/mqtt/MqttPublisher.h"
#include "mqtt/TestBroker.h"

namespace {

using namespace tav;

constexpr int kStations = 8;
constexpr int kSensors = 40;
constexpr double kSteadySeconds = 20;
constexpr double kBurstSeconds = 5;

int64_t NowUtcMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double ProcessCpuSeconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = std::fopen(path, "r");
    if (!f)
        return 0;
    char buf[1024] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char *p = std::strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return 0;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The historian's side: every steady message, its station, address and tick
// time, and how late it came.
class Subscriber {
public:
    explicit Subscriber(int port)
    {
        mosq_ = mosquitto_new("bench-historian", true, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, "tavenor/+/sensor/+/steady", 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto *, void *self, int, int, const int *) {
            static_cast<Subscriber *>(self)->subscribed = true;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto *, void *self, const mosquitto_message *m) {
            static_cast<Subscriber *>(self)->OnMessage(m);
        });
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        thread_ = std::thread([this] {
            pthread_getcpuclockid(pthread_self(), &clock);
            ready = true;
            mosquitto_loop_forever(mosq_, 100, 1);
        });
    }
    ~Subscriber()
    {
        mosquitto_disconnect(mosq_);
        thread_.join();
        mosquitto_destroy(mosq_);
    }
    void OnMessage(const mosquitto_message *m)
    {
        const int64_t now = NowUtcMs();
        const std::string payload(static_cast<const char *>(m->payload), size_t(m->payloadlen));
        const std::string time = test::JsonString(payload, "time");
        std::tm tm{};
        int ms = 0;
        if (std::sscanf(time.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec, &ms) != 7)
            return;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        const int64_t tick = int64_t(timegm(&tm)) * 1000 + ms;
        std::lock_guard<std::mutex> lock(mutex);
        const auto key = std::string(m->topic) + "|" + time;
        if (!seen.insert(key).second) {
            ++duplicates;
            return;
        }
        latenciesMs.push_back(double(now - tick));
    }

    // CPU seconds of the subscriber's thread, to take it out of the stations' share.
    double Cpu() const
    {
        timespec ts{};
        clock_gettime(clock, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    }

    std::atomic<bool> ready{false};
    std::atomic<bool> subscribed{false};
    clockid_t clock{};
    std::mutex mutex;
    std::set<std::string> seen;
    std::vector<double> latenciesMs;
    size_t duplicates = 0;
private:
    mosquitto *mosq_ = nullptr;
    std::thread thread_;
};

SteadySnapshot Snapshot(int station, int64_t utcMs, uint32_t seed)
{
    SteadySnapshot s;
    s.utcMs = utcMs;
    s.count = kSensors;
    for (int i = 0; i < kSensors; ++i) {
        SteadySensorValues &v = s.sensors[i];
        v.address = station * 100 + i + 1;
        v.slot = i;
        v.generation = 1;
        v.samplingFrequency = 26667;
        v.temperature = 30 + float(i % 7);
        // Statistics of a running machine: levels that wander a little per tick.
        for (int k = 0; k < kSteadySeriesCount; ++k)
            v.values[k] = float(0.5 + 0.1 * k + 0.01 * double((seed * 2654435761u + uint32_t(i * 31 + k)) % 97));
        v.values[kSpeedSeries] = 1480 + float(i);
        v.peerIp = 0x0A000000u + uint32_t(i + 1);
        v.peerPort = uint16_t(40000 + i);
    }
    return s;
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

}  // namespace

int main()
{
    mosquitto_lib_init();
    test::TestBroker broker;
    if (!broker.Start()) {
        std::fprintf(stderr, "bench_mqtt: the broker did not start\n");
        return 1;
    }
    const pid_t brokerPid = broker.Pid();
    Subscriber historian(broker.Port());
    test::WaitUntil([&] { return historian.ready.load() && historian.subscribed.load(); });

    std::vector<std::unique_ptr<MqttPublisher>> stations;
    for (int s = 0; s < kStations; ++s) {
        MqttSettings settings;
        settings.url = broker.Url();
        settings.intervalS = 0.5;  // every tick: the full rate of the steady table
        MqttConfig config;
        std::vector<std::string> messages;
        ResolveMqttConfig(settings, "station" + std::to_string(s + 1), 22009, &config, &messages);
        config.version = "bench";
        stations.push_back(std::make_unique<MqttPublisher>(config, nullptr));
        std::string error;
        if (!stations.back()->Start(&error)) {
            std::fprintf(stderr, "bench_mqtt: %s\n", error.c_str());
            return 1;
        }
    }
    test::WaitUntil([&] {
        for (auto &p : stations)
            if (p->LinkState() != MqttLinkState::kConnected)
                return false;
        return true;
    });

    // Steady phase: every station's tick every 500 ms, as the window timer does.
    const bench::Usage before = bench::ProcessUsage();
    const double historianBefore = historian.Cpu();
    const double brokerBefore = ProcessCpuSeconds(brokerPid);
    const auto start = std::chrono::steady_clock::now();
    const int ticks = int(kSteadySeconds * 2);
    for (int t = 0; t < ticks; ++t) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(500 * t));
        const int64_t now = NowUtcMs();
        for (int s = 0; s < kStations; ++s)
            stations[size_t(s)]->OnSteadySnapshot(Snapshot(s, now, uint32_t(t)));
    }
    const size_t expected = size_t(ticks) * kStations * kSensors;
    test::WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(historian.mutex);
            return historian.latenciesMs.size() >= expected;
        },
        15);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double brokerCpu = ProcessCpuSeconds(brokerPid) - brokerBefore;
    const double processCpu = bench::ProcessUsage().cpu - before.cpu;
    const double historianCpu = historian.Cpu() - historianBefore;
    size_t received = 0, duplicates = 0;
    std::vector<double> latencies;
    {
        std::lock_guard<std::mutex> lock(historian.mutex);
        received = historian.latenciesMs.size();
        duplicates = historian.duplicates;
        latencies = historian.latenciesMs;
    }
    uint64_t dropped = 0;
    for (auto &p : stations)
        dropped += p->Dropped();

    // Burst phase: ticks far faster than 500 ms, to find the ceiling of
    // broker, links and subscriber together. Only what arrives within the
    // phase counts; ticks handed over faster than a link digests them replace
    // each other, which is no loss at the real tick rate.
    auto receivedNow = [&] {
        std::lock_guard<std::mutex> lock(historian.mutex);
        return historian.latenciesMs.size();
    };
    const size_t burstFrom = receivedNow();
    const auto burstStart = std::chrono::steady_clock::now();
    int64_t fakeMs = NowUtcMs() + 3600 * 1000;
    uint32_t burstTick = 0;
    while (std::chrono::steady_clock::now() - burstStart < std::chrono::duration<double>(kBurstSeconds)) {
        size_t waiting = 0;
        for (auto &p : stations)
            waiting = std::max(waiting, p->Queued());
        if (waiting < 2000) {
            fakeMs += 500;
            for (int s = 0; s < kStations; ++s)
                stations[size_t(s)]->OnSteadySnapshot(Snapshot(s, fakeMs, ++burstTick));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const size_t burstReceived = receivedNow() - burstFrom;
    const double burstElapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - burstStart).count();
    for (auto &p : stations)
        p->Stop();

    std::printf("bench_mqtt: %d stations x %d sensors, %d ticks: %zu of %zu steady messages, %zu duplicates, "
                "%llu dropped; burst phase %zu received\n",
                kStations, kSensors, ticks, received, expected, duplicates, (unsigned long long)dropped,
                burstReceived);
    bench::PrintFigure("mqtt_delivered_rate", double(received) / elapsed, "msg/s", ">= 640 (8 x 40 every 0.5 s)");
    bench::PrintFigure("mqtt_latency_p50", Percentile(latencies, 0.50), "ms", "< 100");
    bench::PrintFigure("mqtt_latency_p99", Percentile(latencies, 0.99), "ms", "< 500");
    bench::PrintFigure("mqtt_loss_qos1", double(expected - std::min(expected, received)), "messages", "0");
    bench::PrintFigure("mqtt_broker_cpu", 100.0 * brokerCpu / elapsed, "% of a core", "-");
    bench::PrintFigure("mqtt_station_cpu", 100.0 * (processCpu - historianCpu) / elapsed / kStations,
                       "% of a core per station", "< 5");
    bench::PrintFigure("mqtt_burst_rate", double(burstReceived) / burstElapsed, "msg/s", "-");
    return 0;
}
