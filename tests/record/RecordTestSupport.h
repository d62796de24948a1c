#pragma once
// Packets, a collecting event sink and scratch folders for the recording tests.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/EventSink.h"
#include "core/record/VdatFormat.h"

namespace tav::test {

// A waveform packet of `address` at `fs`; bytes 16..23 (not interpreted by
// the station) carry `sequence` so that tests can tell packets apart.
inline std::vector<uint8_t> MakePacket(uint32_t address, float fs, uint64_t sequence, float x = 0.5f,
                                       float y = 1e-5f, float z = -2.0f)
{
    std::vector<uint8_t> p(kPacketBytes, 0);
    std::memcpy(p.data(), "PUDT", 4);
    std::memcpy(p.data() + 4, &address, 4);
    std::memcpy(p.data() + 8, &fs, 4);
    std::memcpy(p.data() + 16, &sequence, 8);
    for (int s = 0; s < kSamplesPerPacket; ++s) {
        std::memcpy(p.data() + 24 + 12 * s, &x, 4);
        std::memcpy(p.data() + 28 + 12 * s, &y, 4);
        std::memcpy(p.data() + 32 + 12 * s, &z, 4);
    }
    std::memcpy(p.data() + kPacketEndOffset, "PEND", 4);
    return p;
}

inline uint64_t PacketSequence(const uint8_t *p)
{
    uint64_t v;
    std::memcpy(&v, p + 16, 8);
    return v;
}

// `count` packets back to back, sequence numbers first..first+count-1.
inline std::vector<uint8_t> MakePackets(uint32_t address, float fs, int count, uint64_t first = 0)
{
    std::vector<uint8_t> all;
    all.reserve(size_t(count) * kPacketBytes);
    for (int i = 0; i < count; ++i) {
        auto p = MakePacket(address, fs, first + uint64_t(i));
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

class CollectingSink : public EventSink {
public:
    void Post(const StationEvent &e) override
    {
        std::lock_guard lock(mutex_);
        events_.push_back(e);
    }
    std::vector<StationEvent> Events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> Messages()
    {
        std::vector<std::string> m;
        for (const auto &e : Events())
            if (e.type == kMessageEvent)
                m.push_back(e.text);
        return m;
    }
    bool SawSaveFinished()
    {
        for (const auto &e : Events())
            if (e.type == kSaveProgressEvent && e.lParam == 1)
                return true;
        return false;
    }

private:
    std::mutex mutex_;
    std::vector<StationEvent> events_;
};

// A fresh folder under /tmp, removed with its files at the end of the test.
class ScratchFolder {
public:
    ScratchFolder()
    {
        char pattern[] = "/tmp/tavenor-record-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~ScratchFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

inline std::vector<uint8_t> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

inline bool Exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace tav::test
