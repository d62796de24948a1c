// Throughput of the frame parser through the real ring, and the station's
// CPU use for 40 loopback sensors (paced like real ones, and idle).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "core/net/Parser.h"
#include "core/net/Server.h"
#include "tests/net/FrameBuilders.h"

using namespace tav;

namespace {

class NullSink : public EventSink {
public:
    void Post(const StationEvent &) override {}
};

std::vector<uint8_t> PacketStream(int packets, float fs)
{
    std::vector<uint8_t> s;
    s.reserve(size_t(packets) * kPacketSize);
    for (int i = 0; i < packets; ++i)
        testing::Append(s, testing::MakePacket(uint32_t(i), fs, 20.0f, uint32_t(i)));
    return s;
}

// Parser thread and writer on two threads, as in the station; the writer
// hands over pieces of the size a busy socket returns.
void BM_ParseThroughRing(benchmark::State &state)
{
    const uint32_t piece = uint32_t(state.range(0));
    auto table = std::make_unique<ConnectionTable>();
    NullSink sink;
    FrameParser parser(*table, sink);
    ConnectionRecord &rec = (*table)[0];
    std::thread parserThread([&] { parser.RunParser(rec); });
    const int perRound = 2000;
    std::vector<uint8_t> stream = PacketStream(perRound, 27000.0f);
    uint64_t expected = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += piece)
            rec.ring.Write(stream.data() + at, uint32_t(std::min<size_t>(piece, stream.size() - at)));
        expected += perRound;
        while (rec.packetsParsed.load(std::memory_order_acquire) < expected)
            std::this_thread::yield();
    }
    rec.ring.Close();
    parserThread.join();
    state.SetItemsProcessed(int64_t(expected));
    state.SetBytesProcessed(int64_t(expected * kPacketSize));
    state.counters["packets_per_s"] = benchmark::Counter(double(expected), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseThroughRing)->Arg(1420)->Arg(65536)->Arg(198800)->UseRealTime()->Unit(benchmark::kMillisecond);

// The parser's own cost: one thread writes and parses in turn.
void BM_ParseSynchronous(benchmark::State &state)
{
    auto table = std::make_unique<ConnectionTable>();
    NullSink sink;
    FrameParser parser(*table, sink);
    ConnectionRecord &rec = (*table)[0];
    const int perRound = 100;  // 142000 bytes: fits the ring
    std::vector<uint8_t> stream = PacketStream(perRound, 26667.0f);
    for (auto _ : state) {
        rec.ring.Write(stream.data(), uint32_t(stream.size()));
        parser.ParseAvailable(rec, false);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * perRound);
    state.counters["packets_per_s"] =
        benchmark::Counter(double(state.iterations()) * perRound, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseSynchronous)->Unit(benchmark::kMillisecond);

double ProcessCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// A child process plays 40 sensors on loopback; the station (this process)
// receives and parses. Reports the station's CPU use in % of one core.
// packetsPerSecond 0 = connected but silent.
// With parse false the bytes are only drained: the receive path's share.
void RunSensors(benchmark::State &state, int packetsPerSecond, bool parse)
{
    const int sensors = 40;
    const double seconds = 3.0;
    NullSink sink;
    auto table = std::make_unique<ConnectionTable>();
    FrameParser parser(*table, sink);
    DrainHandler drain;
    Server server(*table, sink, parse ? static_cast<ConnectionHandler &>(parser) : drain);
    if (server.OpenServer(0, true, nullptr) != 0 || !server.Start()) {
        state.SkipWithError("server did not start");
        return;
    }
    const int port = server.Port();
    for (auto _ : state) {
        pid_t child = fork();
        if (child == 0) {
            std::vector<int> fds;
            for (int i = 0; i < sensors; ++i) {
                int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                a.sin_port = htons(uint16_t(port));
                if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
                    _exit(1);
                fds.push_back(fd);
            }
            std::vector<uint8_t> packet = testing::MakePacket(1, 27000.0f);
            // Sensors send in bursts of ~10 ms, like their network stacks do.
            const int perBurst = packetsPerSecond / 100;
            std::vector<uint8_t> burst;
            for (int i = 0; i < perBurst; ++i)
                testing::Append(burst, packet);
            auto next = std::chrono::steady_clock::now();
            auto end = next + std::chrono::duration<double>(seconds + 0.5);
            while (std::chrono::steady_clock::now() < end) {
                next += std::chrono::milliseconds(10);
                if (!burst.empty())
                    for (int fd : fds)
                        (void)::send(fd, burst.data(), burst.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_until(next);
            }
            for (int fd : fds)
                ::close(fd);
            _exit(0);
        }
        // Let the connections settle, then measure.
        while (table->onlineCount.load() < sensors)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        double cpu0 = ProcessCpuSeconds();
        auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds - 0.6));
        double cpu = ProcessCpuSeconds() - cpu0;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
        uint64_t parsed = 0, dropped = 0;
        for (auto &rec : table->records) {
            parsed += rec.packetsParsed.load();
            dropped += rec.droppedBytes.load();
        }
        int status = 0;
        waitpid(child, &status, 0);
        state.counters["packets_parsed"] = double(parsed);
        state.counters["bytes_dropped"] = double(dropped);
    }
    server.Stop();
}

// 27000 Hz / 116 samples per packet: about 233 packets/s per sensor.
void BM_FortyPacedSensors(benchmark::State &state) { RunSensors(state, 233, true); }
void BM_FortyPacedSensorsReceiveOnly(benchmark::State &state) { RunSensors(state, 233, false); }
void BM_FortyIdleSensors(benchmark::State &state) { RunSensors(state, 0, true); }
BENCHMARK(BM_FortyPacedSensors)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FortyPacedSensorsReceiveOnly)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FortyIdleSensors)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
