// Figures of the transient recording: the recording step, the .vdat write
// and the CSV export of a full recording, with a plain fprintf("%g") loop
// and numpy.savetxt run on the same data for comparison.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "Figure.h"
#include "core/net/ConnectionTable.h"
#include "core/record/CsvExport.h"
#include "core/record/OutputFile.h"
#include "core/record/Recorder.h"
#include "core/record/VdatFormat.h"

namespace tav {
namespace {

class NullSink : public EventSink {
public:
    void Post(const StationEvent &) override {}
};

constexpr uint32_t kFullBytes = kRecordingCapacity / kPacketBytes * kPacketBytes;

// A full recording of a 26667 Hz sensor with noise-like accelerations.
const uint8_t *FullRecording()
{
    static std::unique_ptr<uint8_t[]> data = [] {
        auto d = std::make_unique<uint8_t[]>(kFullBytes);
        std::mt19937 rng(1);
        std::normal_distribution<float> g(0.0f, 0.7f);
        const float fs = 26667.0f;
        const uint32_t address = 7;
        for (uint32_t p = 0; p < kFullBytes / kPacketBytes; ++p) {
            uint8_t *packet = d.get() + size_t(p) * kPacketBytes;
            std::memset(packet, 0, kPacketBytes);
            std::memcpy(packet, "PUDT", 4);
            std::memcpy(packet + 4, &address, 4);
            std::memcpy(packet + 8, &fs, 4);
            for (int i = 0; i < 3 * kSamplesPerPacket; ++i) {
                float v = g(rng);
                std::memcpy(packet + 24 + 4 * i, &v, 4);
            }
            std::memcpy(packet + kPacketEndOffset, "PEND", 4);
        }
        return d;
    }();
    return data.get();
}

std::string ScratchPath(const char *name)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name;
}

void BM_RecordingStepPerBlock(benchmark::State &state)
{
    auto table = std::make_unique<ConnectionTable>();
    NullSink sink;
    std::string folder = "/nonexistent";
    Recorder recorder(*table, sink, folder);
    ConnectionRecord &rec = (*table)[0];
    rec.recording = AllocateRecordingBuffer(kRecordingCapacity);
    rec.inUse = 1;
    table->selectedConnection = 0;  // the selected slot also copies into the global buffer
    std::memset(rec.recording->data, 0, kRecordingCapacity);  // measure copies, not first touches
    const uint8_t *block = FullRecording();
    const uint32_t bytes = 22 * kPacketBytes;
    recorder.StartRecording(nullptr);
    for (auto _ : state) {
        if (rec.recordingPosition.load() + bytes >= kRecordingCapacity) {
            state.PauseTiming();
            recorder.StopAcquisition();
            recorder.StartRecording(nullptr);
            state.ResumeTiming();
        }
        std::lock_guard lock(rec.conditionMutex);
        recorder.RecordBlock(rec, block, bytes);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    state.SetLabel("22 packets, selected slot (two copies)");
}
BENCHMARK(BM_RecordingStepPerBlock);

void BM_VdatSaveFullBuffer(benchmark::State &state)
{
    const uint8_t *data = FullRecording();
    std::string path = ScratchPath("bench_record.vdat");
    for (auto _ : state) {
        ::unlink(path.c_str());
        OutputFile file;
        if (file.Open(path) != 0 || file.Write(data, kFullBytes) != 0 || file.Commit() != 0)
            state.SkipWithError("write failed");
    }
    ::unlink(path.c_str());
    state.SetBytesProcessed(int64_t(state.iterations()) * kFullBytes);
}
BENCHMARK(BM_VdatSaveFullBuffer)->Unit(benchmark::kMillisecond)->Iterations(3);

double gCsvExportSeconds = 0;  // per export, last run

void BM_CsvExportFullRecording(benchmark::State &state)
{
    const uint8_t *data = FullRecording();
    std::string path = ScratchPath("bench_record.csv");
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (WriteTransientCsv(fd, data, kFullBytes) != 0)
            state.SkipWithError("export failed");
        ::close(fd);
    }
    gCsvExportSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / double(state.iterations());
    ::unlink(path.c_str());
    state.counters["lines"] = double(kFullBytes / kPacketBytes * kSamplesPerPacket);
}
BENCHMARK(BM_CsvExportFullRecording)->Unit(benchmark::kMillisecond)->Iterations(2);

// The straightforward way: a buffered stream and printf's %g per number.
void BM_CsvFprintfFullRecording(benchmark::State &state)
{
    const uint8_t *data = FullRecording();
    std::string path = ScratchPath("bench_record_fprintf.csv");
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "wb");
        std::fputs(TransientCsvHeader().c_str(), f);
        for (uint32_t p = 0; p < kFullBytes / kPacketBytes; ++p) {
            const uint8_t *packet = data + size_t(p) * kPacketBytes;
            double fs = PacketFs(packet);
            for (int s = 0; s < kSamplesPerPacket; ++s)
                std::fprintf(f, "%g,%g,%g,%g\r\n", double(PacketFloat(packet, 24 + 12 * s)),
                             double(PacketFloat(packet, 28 + 12 * s)), double(PacketFloat(packet, 32 + 12 * s)), fs);
        }
        std::fclose(f);
    }
    ::unlink(path.c_str());
}
BENCHMARK(BM_CsvFprintfFullRecording)->Unit(benchmark::kMillisecond)->Iterations(1);

// numpy.savetxt("%g") of the same recording, timed inside Python (the
// loading of the file is not counted).
void NumpySavetxt()
{
    std::string vdat = ScratchPath("bench_record_numpy.vdat");
    std::string csv = ScratchPath("bench_record_numpy.csv");
    {
        OutputFile file;
        if (file.Open(vdat) != 0 || file.Write(FullRecording(), kFullBytes) != 0 || file.Commit() != 0) {
            std::printf("numpy.savetxt: cannot write %s\n", vdat.c_str());
            return;
        }
    }
    std::string script =
        "import sys, time\n"
        "import numpy as np\n"
        "raw = np.fromfile(sys.argv[1], dtype=np.uint8).reshape(-1, 1420)\n"
        "fs = raw[:, 8:12].copy().view('<f4').reshape(-1)\n"
        "xyz = raw[:, 24:1416].copy().view('<f4').reshape(-1, 3).astype(np.float64)\n"
        "table = np.column_stack([xyz, np.repeat(fs, 116).astype(np.float64)])\n"
        "t = time.perf_counter()\n"
        "np.savetxt(sys.argv[2], table, fmt='%g', delimiter=',', newline='\\r\\n')\n"
        "print('numpy.savetxt(fmt=%%g) full recording: %.2f s, %d lines' % (time.perf_counter() - t, len(table)))\n";
    std::string scriptPath = ScratchPath("bench_record_numpy.py");
    if (FILE *f = std::fopen(scriptPath.c_str(), "w")) {
        std::fputs(script.c_str(), f);
        std::fclose(f);
    }
    std::fflush(stdout);
    // The system's interpreter carries the packaged numpy; a python3 found
    // first on PATH may not.
    const char *python = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    std::string command = std::string(python) + " '" + scriptPath + "' '" + vdat + "' '" + csv + "'";
    double numpySeconds = 0;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe) {
        char line[256];
        while (std::fgets(line, sizeof line, pipe)) {
            std::fputs(line, stdout);
            std::sscanf(line, "numpy.savetxt(fmt=%%g) full recording: %lf s", &numpySeconds);
        }
    }
    if (!pipe || ::pclose(pipe) != 0 || numpySeconds <= 0)
        std::printf("numpy.savetxt: python3 with numpy did not run\n");
    else if (gCsvExportSeconds > 0)
        bench::PrintFigure("CSV export of a full recording vs numpy.savetxt", numpySeconds / gCsvExportSeconds,
                           "x faster", ">= 10");
    ::unlink(vdat.c_str());
    ::unlink(csv.c_str());
    ::unlink(scriptPath.c_str());
}

}  // namespace
}  // namespace tav

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!std::getenv("TAVENOR_BENCH_SKIP_NUMPY"))
        tav::NumpySavetxt();
    return 0;
}
