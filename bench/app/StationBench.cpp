// The whole station as an operator runs it: the real main window over a
// Station on the offscreen platform, 40 paced sensors at 26667 Hz from a
// separate tavenor-sim process (so that CPU and memory figures are the
// station's own), one of them displayed, steady-state logging on.
// First the plots draw as the window's timers and live blocks ask, then the
// same again with drawing off (the window hidden and its plots unbound from
// their frames; the data path is unchanged).
//
// Latency: the simulator stamps each packet with its sending time (steady
// clock, shared by both processes); a block consumer in front of the
// conditioning notes, for every packet of the displayed sensor, the time from
// sending to the moment the block's plot data has been published. It keeps
// the figures in a fixed array: nothing on the data path allocates or locks.
// BENCH_SECONDS sets the length of each of the two phases (default 20).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Figure.h"
#include "Fleet.h"
#include "core/config/CommandFrame.h"
#include "core/net/SensorFrame.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/TavenorDlg.h"

namespace {

using Clock = std::chrono::steady_clock;
using tav::bench::PrintFigure;
using tav::bench::ProcessUsage;
using tav::bench::RssMb;
using tav::bench::Usage;

uint32_t Micros32()
{
    return uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count());
}

// Runs the window's event loop for `ms`, sleeping in it as the station's
// own loop does (a polling loop here would count against the station).
void Spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

template <class F>
bool SpinUntil(F cond, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < ms) {
        Spin(10);
    }
    return cond();
}

// In front of the conditioning: hands every block on, then notes the
// latency of each packet of the displayed connection.
class LatencyProbe : public tav::BlockConsumer {
public:
    static constexpr uint32_t kCapacity = 1 << 17;

    LatencyProbe(tav::BlockConsumer &next, tav::ConnectionTable &table)
        : next_(next), table_(table), micros_(new uint32_t[kCapacity])
    {
    }
    void ConditionBlock(tav::ConnectionRecord &rec, const uint8_t *block, int packets) override
    {
        next_.ConditionBlock(rec, block, packets);
        if (rec.slotIndex != table_.selectedConnection.load(std::memory_order_relaxed))
            return;
        const uint32_t now = Micros32();
        uint32_t n = count_.load(std::memory_order_relaxed);
        for (int p = 0; p < packets && n < kCapacity; ++p, ++n)
            micros_[n] = now - tav::LoadU32LE(block + size_t(p) * tav::kPacketSize + 20);
        count_.store(n, std::memory_order_release);
    }
    uint32_t Count() const { return count_.load(std::memory_order_acquire); }
    // Percentile (0..100) of the latencies noted in [from, to), in ms.
    double Percentile(uint32_t from, uint32_t to, double pct) const
    {
        if (to <= from)
            return 0.0;
        std::vector<uint32_t> v(micros_.get() + from, micros_.get() + to);
        std::sort(v.begin(), v.end());
        size_t i = std::min(v.size() - 1, size_t(pct / 100.0 * double(v.size())));
        return v[i] / 1000.0;
    }

private:
    tav::BlockConsumer &next_;
    tav::ConnectionTable &table_;
    std::unique_ptr<uint32_t[]> micros_;
    std::atomic<uint32_t> count_{0};
};

// CPU time of the calling thread, in seconds: run on the window thread, it
// is the windows' own share (timers, readouts, drawing, painting).
double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

struct Phase {
    double cpuPercent = 0, windowPercent = 0, switchesPerSecond = 0, p50 = 0, p99 = 0, max = 0;
    uint32_t packets = 0;
};

}  // namespace

int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const int seconds = std::getenv("BENCH_SECONDS") ? std::max(2, std::atoi(std::getenv("BENCH_SECONDS"))) : 20;
    const int warmupMs = 3000;
    QApplication app(argc, argv);
    tav::ui::SetMessageHook([](const QString &) {});

    char folderTemplate[] = "/tmp/bench_station_XXXXXX";
    const char *folder = ::mkdtemp(folderTemplate);
    if (!folder) {
        std::printf("cannot make a scratch folder\n");
        return 1;
    }
    tav::ui::QtEventSink sink;
    tav::StationOptions options;
    options.port = 0;
    options.startFolder = folder;
    // Every sensor has machine settings, so that each keeps a pre-trigger
    // ring for alarm captures: the RSS figure includes all 40 rings. No
    // limits: the run raises no alarms and writes no captures.
    for (int32_t address = 1; address <= 40; ++address) {
        tav::MachineSettings m;
        m.address = address;
        m.name = "机组" + std::to_string(address);
        options.settings.sensors[address] = m;
    }
    auto station = std::make_unique<tav::Station>(options, sink);
    auto dlg = std::make_unique<CTavenorDlg>(*station);
    sink.SetTarget(dlg.get());
    LatencyProbe probe(station->Conditioning(), station->Table());
    station->SetBlockConsumer(&probe);
    std::vector<std::string> messages;
    if (station->Start(&messages) != 0) {
        std::printf("station did not start\n");
        return 1;
    }
    dlg->Initialise(messages);
    dlg->show();

    // The simulator runs a little longer than both phases and stops by itself,
    // printing what it has sent.
    const std::string out = std::string(folder) + "/sim.txt";
    const pid_t pid = tav::bench::SpawnFleet(TAVENOR_SIM_PATH, station->Port(), 2 * seconds + warmupMs / 1000 + 4,
                                             out, {"--time-stamps"});
    if (pid < 0)
        return 1;
    if (!SpinUntil([&] { return station->Table().CountInUse() == 40; }, 20000)) {
        std::printf("only %d of 40 sensors connected\n", station->Table().CountInUse());
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return 1;
    }
    dlg->SelectConnection(0);
    if (auto *log = tav::ui::FindControl<QPushButton>(dlg.get(), 1155))
        log->click();
    else
        std::printf("no steady logging button 1155\n");

    // Command replies: a register read to the displayed sensor every 2 s,
    // timed from the send to the reply event reaching the window.
    std::vector<double> replyMs;
    Clock::time_point sentAt{};
    bool awaiting = false;
    QObject::connect(dlg.get(), &CTavenorDlg::sensorReply, [&](const tav::StationEvent &) {
        if (awaiting) {
            replyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sentAt).count());
            awaiting = false;
        }
    });
    uint16_t sequence = 1;
    auto sendRead = [&] {
        auto frame = tav::CommandFrame::ReadRequest(sequence++, uint16_t(station->Table()[0].sensorAddress.load()),
                                                    0, 12);
        std::string error;
        sentAt = Clock::now();
        awaiting = station->Net().Send(0, frame.bytes, frame.length, &error) == long(frame.length);
    };

    Spin(warmupMs);
    auto runPhase = [&](bool withCommands) {
        Phase p;
        const uint32_t first = probe.Count();
        const Usage u0 = ProcessUsage();
        const double window0 = ThreadCpuSeconds();
        const auto t0 = Clock::now();
        for (int ms = 0; ms < seconds * 1000; ms += 500) {
            if (withCommands && ms % 2000 == 1000)
                sendRead();
            Spin(500);
        }
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const Usage u1 = ProcessUsage();
        const double window1 = ThreadCpuSeconds();
        const uint32_t last = probe.Count();
        p.cpuPercent = 100.0 * (u1.cpu - u0.cpu) / wall;
        p.windowPercent = 100.0 * (window1 - window0) / wall;
        p.switchesPerSecond = double(u1.switches - u0.switches) / wall;
        p.p50 = probe.Percentile(first, last, 50);
        p.p99 = probe.Percentile(first, last, 99);
        p.max = probe.Percentile(first, last, 100);
        p.packets = last - first;
        return p;
    };

    const Phase drawing = runPhase(true);
    const double rss = RssMb();
    const double rings = double(station->Captures().RingBytes()) / (1024.0 * 1024.0);
    // Drawing off: nothing to show, nothing rendered; conditioning and plot
    // data go on exactly as before.
    dlg->hide();
    for (int i = 0; i < 6; ++i)
        dlg->Plot(i).Bind(nullptr, i < 3 ? &station->Plots().time[i] : &station->Plots().spectrum[i - 3]);
    const Phase quiet = runPhase(false);

    int status = 0;
    SpinUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30000);
    Spin(300);  // the parsers finish what is already in the rings
    uint64_t received = 0, parsed = 0, dropped = 0;
    for (auto &r : station->Table().records) {
        received += r.bytesReceived.load();
        parsed += r.packetsParsed.load();
        dropped += r.droppedBytes.load();
    }
    const tav::bench::SimSent sent = tav::bench::ReadSimSent(out);
    const unsigned long long sentBytes = sent.bytes, sentPackets = sent.packets;
    dlg->Shutdown();
    sink.Detach();
    dlg.reset();
    station.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);

    std::sort(replyMs.begin(), replyMs.end());
    const double replyMax = replyMs.empty() ? -1.0 : replyMs.back();
    const long long lost = (long long)sentPackets - (long long)parsed;
    std::printf("station with its window, 40 paced sensors at 26667 Hz, one displayed, steady logging on, "
                "%d s per phase:\n", seconds);
    auto show = [](const char *what, const Phase &p) {
        std::printf("  %s: CPU %.2f %% of one core (window thread %.2f %%), %.0f context switches/s; packet sent "
                    "-> plot data published: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%u packets)\n",
                    what, p.cpuPercent, p.windowPercent, p.switchesPerSecond, p.p50, p.p99, p.max, p.packets);
    };
    show("drawing   ", drawing);
    show("no drawing", quiet);
    std::printf("  bytes sent %llu, received %llu; packets sent %llu, parsed %llu, lost %lld; dropped bytes %llu\n",
                sentBytes, (unsigned long long)received, sentPackets, (unsigned long long)parsed, lost,
                (unsigned long long)dropped);
    std::printf("  command -> reply at the window: %zu replies, slowest %.1f ms\n", replyMs.size(), replyMax);
    std::printf("  RSS before recording: %.1f MB\n", rss);

    PrintFigure("station CPU, 40 paced sensors, drawing", drawing.cpuPercent, "% of a core", "<= 5");
    PrintFigure("station CPU, 40 paced sensors, no drawing", quiet.cpuPercent, "% of a core", "<= 3");
    PrintFigure("window thread CPU, drawing", drawing.windowPercent, "% of a core", "-");
    PrintFigure("window thread CPU, no drawing", quiet.windowPercent, "% of a core", "-");
    PrintFigure("context switches, drawing", drawing.switchesPerSecond, "per s", "-");
    PrintFigure("packets lost (sent - parsed)", double(lost), "packets", "0");
    PrintFigure("latency packet -> plot data, p99", std::max(drawing.p99, quiet.p99), "ms", "<= 120");
    PrintFigure("command -> reply at the window, slowest", replyMax, "ms", "<= 50");
    PrintFigure("RSS before recording", rss, "MB", "< 250");
    PrintFigure("alarm pre-trigger rings, 40 sensors (in the RSS)", rings, "MB", "-");
    return 0;
}
