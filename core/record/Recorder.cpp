#include "core/record/Recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/record/VdatFormat.h"

namespace tav {

const char *const kSavingMessage = "正在存储文件并导出为CSV格式文件，导出CSV格式文件需要较长时间";

namespace {
std::string Format2(double seconds)
{
    char text[64];
    std::snprintf(text, sizeof text, "%0.2f", seconds);
    return text;
}

// Reads exactly `bytes` unless the file ends or fails. Returns bytes read, or -1.
ssize_t ReadFull(int fd, uint8_t *dst, size_t bytes)
{
    size_t done = 0;
    while (done < bytes) {
        ssize_t r = ::read(fd, dst + done, bytes - done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        done += size_t(r);
    }
    return ssize_t(done);
}
}  // namespace

Recorder::Recorder(ConnectionTable &table, EventSink &sink, const std::string &dataFolder)
    : table_(table), dataFolder_(dataFolder), clock_([] { return std::time(nullptr); }), saver_(sink)
{
    // Reserved, not touched: the pages only become real as a recording or
    // a loaded file fills them.
    global_ = static_cast<uint8_t *>(std::malloc(kRecordingCapacity));
}

Recorder::~Recorder()
{
    saver_.Join();
    std::free(global_);
}

void Recorder::RecordBlock(ConnectionRecord &rec, const uint8_t *data, uint32_t bytes)
{
    if (table_.acquisitionState.load() != 1 || paused_.load() != 0)
        return;
    if (global_ && table_.selectedConnection.load() == rec.slotIndex) {
        std::lock_guard lock(globalMutex_);
        // Checked again under the lock: StopAcquisition takes it after
        // leaving state 1, so no append can follow the stop.
        uint32_t pos = globalPosition_.load();
        if (table_.acquisitionState.load() == 1 && uint64_t(pos) + bytes < kRecordingCapacity) {
            std::memcpy(global_ + pos, data, bytes);
            globalPosition_.store(pos + bytes);
        }
    }
    // The pointer is set before this slot's parser starts and reset only
    // after it has been joined, so it is read here without the lock.
    RecordingBuffer *buffer = rec.recording.get();
    if (!buffer || !buffer->data)
        return;  // allocation failed at accept: this connection records nothing
    uint32_t capacity = std::min(buffer->capacity, kRecordingCapacity);
    uint32_t pos = rec.recordingPosition.load();
    // Strictly less: a block that would fill the buffer exactly is dropped too.
    if (uint64_t(pos) + bytes < capacity) {
        std::memcpy(buffer->data + pos, data, bytes);
        rec.recordingPosition.store(pos + bytes);
    }
}

bool Recorder::StartRecording(std::string *message)
{
    if (saver_.Saving()) {
        // The save thread is reading the recordings that a start would reuse.
        if (message)
            *message = kSavingMessage;
        return false;
    }
    if (table_.acquisitionState.load() != 0)
        return false;
    for (auto &rec : table_.records) {
        if (!rec.InUse())
            continue;
        rec.recordingPosition = 0;
        rec.recordingLength = 0;
    }
    {
        std::lock_guard lock(globalMutex_);
        globalPosition_ = 0;
    }
    table_.acquisitionState = 1;
    return true;
}

bool Recorder::TogglePause()
{
    int now = paused_.load() == 1 ? 0 : 1;
    paused_ = now;
    return now == 1;
}

void Recorder::StopAcquisition()
{
    const bool wasRecording = table_.acquisitionState.exchange(0) == 1;
    for (auto &rec : table_.records) {
        if (!rec.InUse())
            continue;
        // Waits for a block being recorded on this slot, so that the length
        // covers it and no append can land after the stop.
        std::lock_guard lock(rec.conditionMutex);
        if (wasRecording)
            rec.recordingLength = rec.recordingPosition.load();
        rec.recordingPosition = 0;
    }
    {
        std::lock_guard lock(globalMutex_);
        if (wasRecording)
            recordedLength_ = globalPosition_.load();
        globalPosition_ = 0;
    }
    paused_ = 0;
}

bool Recorder::Save(std::string *message)
{
    if (saver_.Saving()) {
        if (message)
            *message = kSavingMessage;
        return false;
    }
    StopAcquisition();
    std::vector<SaveItem> items;
    for (auto &rec : table_.records) {
        if (!rec.InUse())
            continue;
        SaveItem item;
        item.slot = rec.slotIndex;
        {
            std::lock_guard lock(rec.recordingMutex);
            item.buffer = rec.recording;
        }
        // Read after the buffer: a connection accepted into the slot
        // meanwhile has already cleared the length, so a new buffer never
        // comes with an old length.
        item.length = rec.recordingLength.load();
        if (!item.buffer)
            item.length = 0;
        else
            item.length = std::min(item.length, item.buffer->capacity);
        item.address = rec.sensorAddress.load();
        items.push_back(std::move(item));
    }
    std::time_t now = clock_();
    std::tm when{};
    ::localtime_r(&now, &when);
    if (!saver_.Start(std::move(items), dataFolder_, when)) {
        if (message)
            *message = saver_.Saving() ? kSavingMessage : "无法启动存储线程";
        return false;
    }
    return true;
}

LoadResult Recorder::Load(const std::string &path)
{
    LoadResult result;
    char text[1024];
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(text, sizeof text, "无法打开文件%s：%s", path.c_str(), std::strerror(errno));
        result.message = text;
        return result;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};

    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::snprintf(text, sizeof text, "文件%s不是普通文件，无法读取", path.c_str());
        result.message = text;
        return result;
    }
    uint8_t first[kPacketBytes];
    ssize_t got = st.st_size >= off_t(kPacketBytes) ? ReadFull(fd, first, kPacketBytes) : 0;
    if (got < 0) {
        std::snprintf(text, sizeof text, "读取文件%s失败：%s", path.c_str(), std::strerror(errno));
        result.message = text;
        return result;
    }
    if (got < ssize_t(kPacketBytes)) {
        std::snprintf(text, sizeof text, "文件%s只有%lld字节，不足一个数据包（%u字节），不是有效的vdat文件",
                      path.c_str(), static_cast<long long>(st.st_size), kPacketBytes);
        result.message = text;
        return result;
    }
    if (!IsWaveformPacket(first)) {
        std::snprintf(text, sizeof text, "文件%s不是有效的vdat文件：第一个数据包缺少PUDT/PEND标志", path.c_str());
        result.message = text;
        return result;
    }
    const float fs = PacketFs(first);
    if (!UsableFs(fs)) {
        std::snprintf(text, sizeof text, "文件%s不是有效的vdat文件：第一个数据包的采样频率无效（%g）", path.c_str(),
                      double(fs));
        result.message = text;
        return result;
    }
    if (!global_) {
        result.message = "数据缓冲区分配失败，无法读取数据";
        return result;
    }

    // Whole packets only, and no more than the buffer holds.
    const uint64_t filePackets = uint64_t(st.st_size) / kPacketBytes;
    const uint64_t maxPackets = kRecordingCapacity / kPacketBytes;
    const bool truncated = filePackets > maxPackets;
    const uint32_t bytes = uint32_t(std::min(filePackets, maxPackets) * kPacketBytes);

    StopAcquisition();
    ssize_t read;
    {
        std::lock_guard lock(globalMutex_);
        std::memcpy(global_, first, kPacketBytes);
        read = ReadFull(fd, global_ + kPacketBytes, bytes - kPacketBytes);
        if (read != ssize_t(bytes - kPacketBytes)) {
            // The buffer is partly overwritten: nothing is left to replay.
            recordedLength_ = 0;
            globalPosition_ = 0;
        } else {
            recordedLength_ = bytes;
            globalPosition_ = 0;
        }
    }
    if (read != ssize_t(bytes - kPacketBytes)) {
        std::snprintf(text, sizeof text, "读取文件%s失败：%s", path.c_str(),
                      read < 0 ? std::strerror(errno) : "文件在读取时变短");
        result.message = text;
        return result;
    }
    result.ok = true;
    result.totalText = Format2(RecordingSeconds(bytes, fs));
    result.replayedText = "0.0";
    if (truncated) {
        std::snprintf(text, sizeof text, "文件%s超过数据缓冲区容量（%u字节），只读取了前%u个完整数据包（%s秒）",
                      path.c_str(), kRecordingCapacity, bytes / kPacketBytes, result.totalText.c_str());
        result.message = text;
    }
    return result;
}

RecordingProgress Recorder::Progress() const
{
    RecordingProgress p;
    const uint32_t pos = globalPosition_.load();
    p.percent = int(double(pos) / double(kRecordingCapacity) * 100.0);
    const int selected = table_.selectedConnection.load();
    if (selected >= 0 && selected < kSlotCount) {
        const float fs = table_.records[selected].samplingFrequency.load();
        if (UsableFs(fs))
            p.seconds = Format2(RecordingSeconds(pos, fs));
    }
    return p;
}

}  // namespace tav
