#include "core/alarm/AlarmCapture.h"

#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/alarm/AlarmCaptureCodec.h"
#include "core/base/ThreadName.h"
#include "core/net/ErrorTexts.h"
#include "core/processing/Conditioner.h"
#include "core/record/CsvExport.h"
#include "core/record/OutputFile.h"
#include "core/record/VdatFormat.h"

namespace tav {

namespace {

constexpr uint32_t kCopyChunkPackets = 256;  // the parser waits for at most one chunk's copy
// A ring's memory is taken and given back in chunks of this size; a packed
// packet never straddles two, so a chunk wastes less than one packet.
constexpr uint32_t kRingChunkBytes = 64 * 1024;

// Chunks enough for `capacity` packets that do not pack at all: all but the
// oldest and the newest chunk in use are full to within a packet, and one
// more is taken before the oldest is given back.
uint32_t RingChunks(uint32_t capacity)
{
    return uint32_t(uint64_t(capacity) * kMaxPackedPacketBytes / (kRingChunkBytes - kMaxPackedPacketBytes)) + 3;
}

int64_t SystemMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint32_t RingPackets(double seconds, float fs)
{
    if (!(std::isfinite(fs) && fs > 0.0f && fs <= kMaxSamplingFrequency))
        fs = kStartSamplingFrequency;
    // At least two, so that the packet an append leaves oldest is another.
    return std::max<uint32_t>(
        2, uint32_t(std::ceil(std::min(seconds, kMaxRingSeconds) * double(fs) / kSamplesPerPacket)) + 1);
}

// "2026-12-09 14:20:36.500", local time.
std::string LocalMsText(int64_t utcMs)
{
    const std::time_t t = std::time_t(utcMs / 1000);
    std::tm when{};
    ::localtime_r(&t, &when);
    char text[40];
    std::snprintf(text, sizeof text, "%.4d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d", when.tm_year + 1900, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec, int(((utcMs % 1000) + 1000) % 1000));
    return text;
}

}  // namespace

std::string CaptureSidePath(const std::string &vdatPath) { return vdatPath.substr(0, vdatPath.size() - 5) + ".txt"; }

std::string CaptureBaseName(int32_t address, int64_t utcMs)
{
    const std::time_t t = std::time_t(utcMs / 1000);
    std::tm when{};
    ::localtime_r(&t, &when);
    char name[64];
    std::snprintf(name, sizeof name, "%.4d_%.4d%.2d%.2d%.2d%.2d%.2d", int(address), when.tm_year + 1900,
                  when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
    return name;
}

AlarmCapture::Pool::Pool(size_t bytes)
{
    void *p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) {
        base = static_cast<uint8_t *>(p);
        size = bytes;
    }
}

AlarmCapture::Pool::~Pool()
{
    if (base)
        ::munmap(base, size);
}

AlarmCapture::AlarmCapture(std::string folder)
    : folder_(std::move(folder)), clock_(SystemMs), rings_(std::make_unique<Ring[]>(kSlotCount))
{
}

AlarmCapture::~AlarmCapture() { Stop(); }

void AlarmCapture::SetSettings(const CaptureSettings &capture, const std::map<int32_t, MachineSettings> &machines)
{
    capture_ = capture;
    ringSeconds_.clear();
    for (const auto &[address, m] : machines)
        // A second more: the tick that saw the limit crossed reads a window
        // that closed up to a tick earlier, and the capture thread copies
        // the first packets a moment after the request.
        ringSeconds_[address] = capture.preS + std::clamp(m.onDelayS, 0.0, kMaxOnDelayS) + 1.0;
}

void AlarmCapture::Start()
{
    if (thread_.joinable())
        return;
    {
        std::lock_guard lock(requestMutex_);
        stop_ = false;
    }
    thread_ = std::thread([this] {
        NameThisThread("tav captures");
        Run();
    });
}

void AlarmCapture::Stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(requestMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void AlarmCapture::RemoveLeftovers()
{
    // A capture cut off by a kill leaves its temporary files, and perhaps a
    // side file whose .vdat never got its name: neither holds a capture
    // anyone can open, and nothing names them.
    DIR *dir = ::opendir(folder_.c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (const dirent *e = ::readdir(dir))
        names.emplace_back(e->d_name);
    ::closedir(dir);
    auto endsWith = [](const std::string &s, const char *tail) {
        const size_t n = std::strlen(tail);
        return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
    };
    for (const std::string &name : names) {
        const std::string path = folder_ + "/" + name;
        if (endsWith(name, ".vdat.part") || endsWith(name, ".csv.part") || endsWith(name, ".txt.part") ||
            (endsWith(name, ".txt") && !PathExists(path.substr(0, path.size() - 4) + ".vdat")))
            ::unlink(path.c_str());
    }
}

void AlarmCapture::Run()
{
    RemoveLeftovers();
    std::unique_lock lock(requestMutex_);
    while (!stop_) {
        woken_ = false;
        lock.unlock();
        Pump(clock_());
        lock.lock();
        wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_ || woken_; });
    }
    lock.unlock();
    Pump(clock_(), true);
}

void AlarmCapture::RecordBlock(ConnectionRecord &rec, const uint8_t *data, uint32_t bytes)
{
    const int slot = rec.slotIndex;
    if (slot < 0 || slot >= kSlotCount)
        return;
    Ring &r = rings_[slot];
    const uint32_t generation = rec.generation.load(std::memory_order_relaxed);
    std::lock_guard lock(r.ringMutex);
    if (!r.armed || r.generation != generation || r.capacity == 0)
        return;
    // Stamped under the lock, so that once the capture thread holds it at a
    // time past a window's end, every block stamped within it is in.
    const int64_t stamp = clock_();
    for (uint32_t off = 0; off + kPacketBytes <= bytes; off += kPacketBytes)
        Append(r, data + off, stamp);
}

bool AlarmCapture::Append(Ring &r, const uint8_t *packet, int64_t stamp)
{
    uint8_t packed[kMaxPackedPacketBytes];
    const uint32_t length = PackPacket(packet, packed);
    // The chunks before the one that holds the packet this append leaves
    // oldest hold only packets it lets go.
    if (r.appended + 1 > r.capacity) {
        const uint32_t keep = r.entries[(r.appended + 1 - r.capacity) % r.capacity].offset / kRingChunkBytes;
        while (r.inUseCount > 1 && r.inUse[r.inUseFirst] != keep) {
            r.spare[r.spareCount++] = r.inUse[r.inUseFirst];
            r.inUseFirst = (r.inUseFirst + 1) % r.chunks;
            --r.inUseCount;
            ringBytes_.fetch_sub(kRingChunkBytes, std::memory_order_relaxed);
        }
    }
    if (r.inUseCount == 0 || r.fill + length > kRingChunkBytes) {
        if (r.spareCount == 0)
            return false;  // RingChunks leaves none short; kept from writing astray all the same
        r.inUse[(r.inUseFirst + r.inUseCount++) % r.chunks] = r.spare[--r.spareCount];
        r.fill = 0;
        ringBytes_.fetch_add(kRingChunkBytes, std::memory_order_relaxed);
    }
    const uint32_t chunk = r.inUse[(r.inUseFirst + r.inUseCount - 1) % r.chunks];
    const uint32_t offset = chunk * kRingChunkBytes + r.fill;
    std::memcpy(r.pool.base + offset, packed, length);
    r.fill += length;
    r.entries[r.appended % r.capacity] = {stamp, offset, length};
    ++r.appended;
    return true;
}

void AlarmCapture::OnSteadySnapshot(const SteadySnapshot &snapshot)
{
    bool wanted[kSlotCount] = {};
    std::vector<Arm> arms;
    for (int i = 0; i < snapshot.count; ++i) {
        const SteadySensorValues &v = snapshot.sensors[i];
        auto it = ringSeconds_.find(v.address);
        if (it == ringSeconds_.end() || v.slot < 0 || v.slot >= kSlotCount)
            continue;
        wanted[v.slot] = true;
        const uint32_t capacity = RingPackets(it->second, v.samplingFrequency);
        Armed &a = armed_[v.slot];
        if (a.capacity == capacity && a.generation == v.generation && a.address == v.address)
            continue;
        a = {v.generation, capacity, v.address};
        arms.push_back({v.slot, v.generation, capacity});
    }
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (!wanted[slot] && armed_[slot].capacity) {
            armed_[slot] = {};
            arms.push_back({slot, 0, 0});
        }
    if (arms.empty())
        return;
    {
        std::lock_guard lock(requestMutex_);
        arms_.insert(arms_.end(), arms.begin(), arms.end());
        woken_ = true;
    }
    wake_.notify_all();
}

std::string AlarmCapture::RequestCapture(int32_t address, int slot, uint32_t generation, int64_t firstExceededMs,
                                         int64_t activeMs)
{
    if (slot < 0 || slot >= kSlotCount || armed_[slot].capacity == 0 || armed_[slot].generation != generation ||
        armed_[slot].address != address)
        return {};
    auto last = lastCaptureMs_.find(address);
    if (last != lastCaptureMs_.end() && activeMs - last->second < kCaptureRepeatMs)
        return {};
    lastCaptureMs_[address] = activeMs;
    Job job;
    job.address = address;
    job.slot = slot;
    job.generation = generation;
    job.fromMs = firstExceededMs - std::llround(std::clamp(capture_.preS, 0.0, kMaxCaptureS) * 1000.0);
    job.untilMs = activeMs + std::llround(std::clamp(capture_.postS, 0.0, kMaxCaptureS) * 1000.0);
    job.triggerMs = firstExceededMs;
    job.alarmMs = activeMs;
    job.path = folder_ + "/" + CaptureBaseName(address, activeMs) + ".vdat";
    const std::string path = job.path;
    {
        std::lock_guard lock(requestMutex_);
        newJobs_.push_back(std::move(job));
        woken_ = true;
    }
    wake_.notify_all();
    return path;
}

void AlarmCapture::ApplyArm(const Arm &arm)
{
    Ring &r = rings_[arm.slot];
    // Made here, outside the lock: the parser never waits for memory.
    const uint32_t chunks = arm.capacity ? RingChunks(arm.capacity) : 0;
    Pool pool;
    std::unique_ptr<Entry[]> entries;
    std::unique_ptr<uint32_t[]> spare, inUse;
    if (arm.capacity) {
        pool = Pool(size_t(chunks) * kRingChunkBytes);
        entries.reset(new (std::nothrow) Entry[arm.capacity]);
        spare.reset(new (std::nothrow) uint32_t[chunks]);
        inUse.reset(new (std::nothrow) uint32_t[chunks]);
    }
    const bool made = pool.base && entries && spare && inUse;
    if (made)
        for (uint32_t i = 0; i < chunks; ++i)
            spare[i] = chunks - 1 - i;  // the first chunk on top
    {
        std::lock_guard lock(r.ringMutex);
        ringBytes_.fetch_sub(size_t(r.inUseCount) * kRingChunkBytes);
        r.pool.Swap(pool);
        std::swap(r.entries, entries);
        std::swap(r.spare, spare);
        std::swap(r.inUse, inUse);
        r.chunks = made ? chunks : 0;
        r.spareCount = r.chunks;
        r.inUseFirst = r.inUseCount = r.fill = 0;
        r.capacity = made ? arm.capacity : 0;
        r.appended = 0;
        r.generation = arm.generation;
        r.armed = r.capacity > 0;
        ++r.epoch;
    }
    // The old memory goes here, outside the lock.
}

void AlarmCapture::Copy(Job &job)
{
    Ring &r = rings_[job.slot];
    for (;;) {
        std::lock_guard lock(r.ringMutex);
        if (!job.started) {
            job.started = true;
            job.epoch = r.epoch;
            job.nextSeq = r.appended > r.capacity ? r.appended - r.capacity : 0;
            // Is the oldest packet kept already later than the window's start?
            // Whether the ring overflowed or was only armed (a connection) a
            // moment ago, the pre-trigger is not all there.
            if (!r.appended || !r.capacity || r.entries[job.nextSeq % r.capacity].stamp > job.fromMs)
                job.cut = true;
        }
        if (r.epoch != job.epoch || !r.armed || r.generation != job.generation) {
            job.ended = true;
            return;
        }
        const uint64_t oldest = r.appended > r.capacity ? r.appended - r.capacity : 0;
        if (job.nextSeq < oldest) {
            job.cut = true;
            job.nextSeq = oldest;
        }
        const uint64_t end = std::min<uint64_t>(r.appended, job.nextSeq + kCopyChunkPackets);
        if (job.nextSeq >= end)
            return;
        for (; job.nextSeq < end; ++job.nextSeq) {
            const Entry &e = r.entries[job.nextSeq % r.capacity];
            if (e.stamp < job.fromMs || e.stamp > job.untilMs)
                continue;
            const size_t at = job.bytes.size();
            job.bytes.resize(at + kPacketBytes);
            if (!UnpackPacket(r.pool.base + e.offset, e.bytes, job.bytes.data() + at)) {
                job.bytes.resize(at);
                job.cut = true;
                continue;
            }
            if (job.firstStampMs == INT64_MIN)
                job.firstStampMs = e.stamp;
        }
    }
}

void AlarmCapture::Write(Job &job)
{
    CaptureOutcome out;
    out.address = job.address;
    out.path = job.path;
    out.packets = uint32_t(job.bytes.size() / kPacketBytes);
    char text[512];
    auto fail = [&](const char *what, int err) {
        std::snprintf(text, sizeof text, "报警录波文件%s%s：%s", job.path.c_str(), what, SystemErrorText(err).c_str());
        out.message = text;
    };
    if (job.bytes.empty()) {
        std::snprintf(text, sizeof text, "传感器%d报警时没有可保存的波形数据，未生成报警录波文件", int(job.address));
        out.message = text;
    } else if (::mkdir(folder_.c_str(), 0777) != 0 && errno != EEXIST) {
        fail("无法创建文件夹", errno);
    } else {
        OutputFile vdat, csv;
        const std::string csvPath = job.path.substr(0, job.path.size() - 5) + ".csv";
        // The side file first: a .vdat is never without it. The raw file is
        // committed before its CSV is begun: it is the record, the CSV only a
        // convenience made from it, so a CSV the disk has no room for never
        // costs the raw file that fitted.
        int err = WriteSideFile(job, out.packets);
        if (!err)
            err = vdat.Open(job.path);
        if (!err)
            err = vdat.Write(job.bytes.data(), job.bytes.size());
        if (!err)
            err = vdat.Commit();
        if (err) {
            ::unlink(CaptureSidePath(job.path).c_str());
            fail("写入失败，未保存报警录波", err);
        } else {
            out.ok = true;
            out.complete = !job.cut && !job.ended;
            std::string note;
            if (!out.complete)
                note = job.ended ? "传感器连接已断开" : "缓存中缺少报警前的部分数据";
            err = csv.Open(csvPath);
            if (!err)
                err = WriteTransientCsv(csv.Fd(), job.bytes.data(), uint32_t(job.bytes.size()));
            if (!err)
                err = csv.Commit();
            if (err) {
                std::snprintf(text, sizeof text, "%sCSV文件%s写入失败（%s），原始波形文件已保存",
                              note.empty() ? "" : "；", csvPath.c_str(), SystemErrorText(err).c_str());
                note += text;
            }
            if (!note.empty()) {
                std::snprintf(text, sizeof text, "报警录波文件%s%s：%s", job.path.c_str(),
                              out.complete ? "" : "不完整", note.c_str());
                out.message = text;
            }
        }
    }
    std::vector<uint8_t>().swap(job.bytes);
    std::lock_guard lock(requestMutex_);
    outcomes_.push_back(std::move(out));
}

int AlarmCapture::WriteSideFile(const Job &job, uint32_t packets)
{
    // Plain ASCII lines, so any tool reads it: where in the capture the
    // trigger lies, and whether all of the asked pre-trigger is there.
    const double kept =
        job.firstStampMs == INT64_MIN ? 0.0 : double(std::max<int64_t>(0, job.triggerMs - job.firstStampMs)) / 1000.0;
    char text[640];
    const int n = std::snprintf(
        text, sizeof text,
        "address=%d\r\ntrigger=%s\r\ntrigger_utc_ms=%lld\r\nalarm=%s\r\nalarm_utc_ms=%lld\r\n"
        "first_packet=%s\r\npre_s=%g\r\npre_trigger_s=%.3f\r\npost_s=%g\r\npackets=%u\r\ncomplete=%s\r\n",
        int(job.address), LocalMsText(job.triggerMs).c_str(), (long long)job.triggerMs,
        LocalMsText(job.alarmMs).c_str(), (long long)job.alarmMs,
        job.firstStampMs == INT64_MIN ? "" : LocalMsText(job.firstStampMs).c_str(),
        double(job.triggerMs - job.fromMs) / 1000.0, kept, double(job.untilMs - job.alarmMs) / 1000.0, packets,
        job.cut || job.ended ? "false" : "true");
    OutputFile side;
    int err = side.Open(CaptureSidePath(job.path));
    if (!err)
        err = side.Write(reinterpret_cast<const uint8_t *>(text), size_t(std::max(n, 0)));
    if (!err)
        err = side.Commit();
    return err;
}

void AlarmCapture::Pump(int64_t nowMs, bool flush)
{
    std::vector<Arm> arms;
    std::vector<Job> fresh;
    {
        std::lock_guard lock(requestMutex_);
        arms.swap(arms_);
        fresh.swap(newJobs_);
    }
    // Captures under way copy out before a ring is remade, so that a
    // reconnect does not lose what was already there; new ones start after
    // it, since the tick arms a ring before its engine may ask for a capture.
    for (Job &job : jobs_)
        Copy(job);
    for (const Arm &a : arms)
        ApplyArm(a);
    for (Job &j : fresh)
        jobs_.push_back(std::move(j));
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (!it->started)
            it->bytes.reserve(size_t(RingPackets(double(it->untilMs - it->fromMs) / 1000.0, 26667.0f)) *
                              kPacketBytes);
        Copy(*it);
        // Every block stamped up to the window's end is in the ring once
        // the clock has passed it: stamping and appending share the lock.
        if (flush || it->ended || nowMs > it->untilMs) {
            Write(*it);
            it = jobs_.erase(it);
        } else {
            ++it;
        }
    }
}

std::vector<CaptureOutcome> AlarmCapture::TakeOutcomes()
{
    std::lock_guard lock(requestMutex_);
    std::vector<CaptureOutcome> out;
    out.swap(outcomes_);
    return out;
}

}  // namespace tav
