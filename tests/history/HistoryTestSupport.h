#pragma once
// Simulated sensors and a scratch station folder for the history tests.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/history/HistoryReader.h"
#include "core/history/HistoryWriter.h"
#include "core/net/EventSink.h"

namespace tav::test {

// A fresh start folder with its data/ folder, removed at the end.
struct ScratchFolder {
    std::string path;
    ScratchFolder()
    {
        char name[] = "/tmp/tavenor-history-XXXXXX";
        path = ::mkdtemp(name);
        ::mkdir(Data().c_str(), 0777);
    }
    ~ScratchFolder() { Remove(path); }
    std::string Data() const { return path + "/data"; }
    std::string Database() const { return Data() + "/" + kHistoryFileName; }
    std::vector<std::string> DataFiles() const
    {
        std::vector<std::string> out;
        if (DIR *d = ::opendir(Data().c_str())) {
            while (dirent *e = ::readdir(d))
                if (e->d_name[0] != '.')
                    out.push_back(e->d_name);
            ::closedir(d);
        }
        return out;
    }
    static void Remove(const std::string &p)
    {
        if (DIR *d = ::opendir(p.c_str())) {
            while (dirent *e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..")
                    Remove(p + "/" + n);
            }
            ::closedir(d);
            ::rmdir(p.c_str());
        } else {
            ::unlink(p.c_str());
        }
    }
};

// Keeps every posted event (any thread).
struct CollectingSink : EventSink {
    std::mutex mutex;
    std::vector<StationEvent> events;
    void Post(const StationEvent &e) override
    {
        std::lock_guard lock(mutex);
        events.push_back(e);
    }
    std::vector<std::string> Texts(int type)
    {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto &e : events)
            if (e.type == type)
                out.emplace_back(e.text);
        return out;
    }
};

// A sensor's value of a series at a tick: deterministic, slowly varying
// with noise in the low digits like a real RMS.
inline float SimValue(int32_t address, int64_t tick, int series)
{
    uint64_t h = uint64_t(tick) * 0x9E3779B97F4A7C15ull ^ uint64_t(address) * 0xBF58476D1CE4E5B9ull ^
                 uint64_t(series + 1) * 0x94D049BB133111EBull;
    h ^= h >> 31;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    const double noise = double(h % 10000) / 10000.0;
    return float(1.0 + address * 0.25 + series * 0.5 + 0.2 * std::sin(double(tick) * 0.001) + 0.05 * noise);
}

constexpr int64_t kBaseUtcMs = 1'767'225'600'000LL;  // 2026-01-01 00:00 UTC

inline SteadySnapshot MakeSnapshot(int64_t utcMs, int64_t tick, const std::vector<int32_t> &addresses,
                                   uint32_t generation = 1, float samplingFrequency = 26667)
{
    SteadySnapshot s;
    s.utcMs = utcMs;
    for (int32_t a : addresses) {
        SteadySensorValues &v = s.sensors[s.count++];
        v.address = a;
        v.slot = s.count - 1;
        v.generation = generation;
        v.samplingFrequency = samplingFrequency;
        v.peerIp = 0x7F000001;
        v.peerPort = uint16_t(40000 + a);
        for (int k = 0; k < kSteadySeriesCount; ++k)
            v.values[k] = SimValue(a, tick, k);
    }
    return s;
}

inline HistoryWriterOptions TestOptions(const ScratchFolder &folder)
{
    HistoryWriterOptions o;
    o.dataFolder = folder.Data();
    o.waitWhenFull = true;
    return o;
}

inline HistorySeries ReadAll(const ScratchFolder &folder, int32_t address, HistoryResolution r)
{
    HistoryReader reader;
    std::string error;
    HistorySeries out;
    if (reader.Open(folder.Database(), &error))
        reader.Read(address, 0, INT64_MAX / 2, r, &out);
    return out;
}

}  // namespace tav::test
