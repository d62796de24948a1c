#pragma once
// Raw captures around alarms. Every block a sensor with machine settings
// sends is also kept in a pre-trigger ring of its slot; when a value alarm
// becomes active, the packets from `pre_s` before its limit was first
// exceeded to `post_s` after it became active are written as a .vdat file
// and its CSV into data/alarms/, named after the sensor address and the alarm
// time, through temporary names, with a side file (.txt) giving the trigger
// time and how much of the pre-trigger it holds. The rings are its own
// memory, so recordings, saves and replays never see a capture.
//
// A ring keeps its packets packed without loss (AlarmCaptureCodec.h) in
// chunks of one address space reserved when it is armed for the worst case;
// only the chunks in use take memory, and a freed chunk is the next one
// taken, so a ring holds about what its packed packets need.
//
// Threads: RecordBlock on the parser threads (one short lock of the slot's
// ringMutex, no allocation); OnSteadySnapshot, SetSettings and RequestCapture
// on the window thread (no allocation beyond a small request, no disk); the
// rings' memory and the files on the capture thread, or in Pump() for tests.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/model/AlarmTypes.h"
#include "core/model/SteadySnapshot.h"
#include "core/net/BlockConsumer.h"
#include "core/net/ConnectionTable.h"
#include "core/settings/StationSettings.h"

namespace tav {

constexpr int64_t kCaptureRepeatMs = 60000;  // one capture per sensor per minute at most
// A ring keeps at most this much: the settings refuse a pre-trigger and
// on-delay that together need more (kMaxCaptureLeadS), rather than let 40
// rings outgrow memory; the second more is the tick's and the copy's lag.
constexpr double kMaxRingSeconds = kMaxCaptureLeadS + 1.0;
constexpr const char *kAlarmFolderName = "alarms";

struct CaptureOutcome {
    int32_t address = 0;
    std::string path;     // the .vdat; the CSV has the same name with .csv
    bool ok = false;
    // Written with everything from pre_s before the trigger to post_s after
    // the alarm; false when the ring had lost part of it or the sensor went.
    bool complete = false;
    std::string message;  // for the operator when it failed or was cut short
    uint32_t packets = 0;
};

class AlarmCapture : public RecordingSink, public SteadySnapshotConsumer, public CaptureRequester {
public:
    // `folder` is where captures go (data/alarms); made when first needed.
    explicit AlarmCapture(std::string folder);
    ~AlarmCapture() override;
    AlarmCapture(const AlarmCapture &) = delete;
    AlarmCapture &operator=(const AlarmCapture &) = delete;

    // Where captures go; before Start().
    void SetFolder(std::string folder) { folder_ = std::move(folder); }
    // UTC milliseconds stamped on every block; before any parser runs.
    void SetClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }
    // Window thread.
    void SetSettings(const CaptureSettings &capture, const std::map<int32_t, MachineSettings> &machines);

    // The capture thread: removes what a kill left in the folder, then
    // Pump() every 200 ms and on every request.
    void Start();
    // Joins the thread; captures under way are written with what they hold.
    void Stop();

    void RecordBlock(ConnectionRecord &rec, const uint8_t *data, uint32_t bytes) override;
    void OnSteadySnapshot(const SteadySnapshot &snapshot) override;
    std::string RequestCapture(int32_t address, int slot, uint32_t generation, int64_t firstExceededMs,
                               int64_t activeMs) override;

    // One step of the capture thread's work at `nowMs`: rings (re)made,
    // captured packets copied out, finished captures written. `flush`
    // writes every capture under way now.
    void Pump(int64_t nowMs, bool flush = false);
    // Finished captures since the last call; any thread.
    std::vector<CaptureOutcome> TakeOutcomes();
    // Bytes of the rings' chunks in use now; any thread.
    size_t RingBytes() const { return ringBytes_.load(); }

private:
    struct Entry {
        int64_t stamp = 0;
        uint32_t offset = 0;  // into the pool
        uint32_t bytes = 0;   // packed
    };
    // Address space reserved whole and given back whole; pages take memory
    // only once written.
    struct Pool {
        Pool() = default;
        explicit Pool(size_t bytes);
        ~Pool();
        Pool(Pool &&other) noexcept { Swap(other); }
        Pool &operator=(Pool &&other) noexcept
        {
            Swap(other);
            return *this;
        }
        void Swap(Pool &other) noexcept
        {
            std::swap(base, other.base);
            std::swap(size, other.size);
        }
        uint8_t *base = nullptr;
        size_t size = 0;
    };
    struct Ring {
        std::mutex ringMutex;  // the slot's parser appends, the capture thread swaps and copies
        Pool pool;
        std::unique_ptr<Entry[]> entries;      // by packet, `capacity` of them
        std::unique_ptr<uint32_t[]> spare;     // chunks free, the last freed on top
        std::unique_ptr<uint32_t[]> inUse;     // chunks in use, oldest first (circular)
        uint32_t chunks = 0, spareCount = 0, inUseFirst = 0, inUseCount = 0;
        uint32_t fill = 0;      // bytes used of the newest chunk
        uint32_t capacity = 0;  // packets
        uint64_t appended = 0;  // packets since armed
        uint32_t generation = 0;
        uint64_t epoch = 0;     // changes at every arm
        bool armed = false;
    };
    struct Arm {
        int slot = -1;
        uint32_t generation = 0;
        uint32_t capacity = 0;  // 0 = release the ring
    };
    struct Job {
        int32_t address = 0;
        int slot = -1;
        uint32_t generation = 0;
        int64_t fromMs = 0, untilMs = 0;
        int64_t triggerMs = 0, alarmMs = 0;  // limit first exceeded; alarm active
        int64_t firstStampMs = INT64_MIN;    // of the first packet kept
        std::string path;
        uint64_t epoch = 0;
        bool started = false;
        bool cut = false;       // the ring had lost part of the window
        bool ended = false;     // the connection went away
        uint64_t nextSeq = 0;
        std::vector<uint8_t> bytes;
    };
    struct Armed {  // the window thread's view of a ring
        uint32_t generation = 0;
        uint32_t capacity = 0;
        int32_t address = 0;
    };

    void ApplyArm(const Arm &arm);
    bool Append(Ring &r, const uint8_t *packet, int64_t stamp);
    void Copy(Job &job);
    void Write(Job &job);
    int WriteSideFile(const Job &job, uint32_t packets);
    void Run();
    void RemoveLeftovers();

    std::string folder_;
    std::function<int64_t()> clock_;
    CaptureSettings capture_;
    std::map<int32_t, double> ringSeconds_;  // by address: pre-trigger plus on-delay
    std::map<int32_t, int64_t> lastCaptureMs_;
    Armed armed_[kSlotCount];

    std::unique_ptr<Ring[]> rings_;
    std::atomic<size_t> ringBytes_{0};

    std::mutex requestMutex_;  // arms, new jobs and outcomes between the threads
    std::condition_variable wake_;
    bool stop_ = false;
    bool woken_ = false;
    std::vector<Arm> arms_;
    std::vector<Job> newJobs_;
    std::vector<CaptureOutcome> outcomes_;

    std::vector<Job> jobs_;  // capture thread (or Pump's caller) only
    std::thread thread_;
};

// "NNNN_YYYYMMDDhhmmss" of a capture: the sensor address and the alarm's
// local time.
std::string CaptureBaseName(int32_t address, int64_t utcMs);
// The side file of a capture: "NNNN_YYYYMMDDhhmmss.txt" beside its .vdat,
// key=value lines (trigger time, pre-trigger kept, complete).
std::string CaptureSidePath(const std::string &vdatPath);

}  // namespace tav
