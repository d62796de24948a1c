#include "core/net/ConnectionTable.h"

#include <cstdlib>

namespace tav {

std::atomic<RecordingAllocatorFn> gRecordingAllocator{&std::malloc};

RecordingBuffer::~RecordingBuffer() { std::free(data); }

std::shared_ptr<RecordingBuffer> AllocateRecordingBuffer(uint32_t capacity)
{
    void *p = gRecordingAllocator.load()(capacity);
    if (!p)
        return nullptr;
    auto buffer = std::make_shared<RecordingBuffer>();
    buffer->data = static_cast<uint8_t *>(p);
    buffer->capacity = capacity;
    return buffer;
}

ConnectionTable::ConnectionTable()
{
    for (int i = 0; i < kSlotCount; ++i)
        records[i].slotIndex = i;
}

int ConnectionTable::FindFreeSlot() const
{
    for (int i = 0; i < kSlotCount; ++i)
        if (!records[i].InUse() && !records[i].threadsRunning.load())
            return i;
    return -1;
}

int64_t ListedAddress(const ConnectionRecord &rec)
{
    if (!rec.InUse())
        return kSlotFree;
    // Acquire: the parser counts a packet after storing its address.
    if (rec.packetsParsed.load(std::memory_order_acquire) == 0)
        return kAddressPending;
    return int32_t(rec.sensorAddress.load(std::memory_order_relaxed));
}

void ResetSpeedBand(ConnectionRecord &rec)
{
    rec.ratedSpeed = 1500.0f;
    rec.ratedFrequency = 25.0f;
    rec.upperSearchLimit = 25.5f;
    rec.lowerSearchLimit = 13.0f;
    rec.measuredSpeed = 0.0f;
}

int ConnectionTable::CountInUse() const
{
    int n = 0;
    for (const auto &r : records)
        n += r.InUse() ? 1 : 0;
    return n;
}

}  // namespace tav
