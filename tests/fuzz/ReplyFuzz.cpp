// libFuzzer target: replies decoded into the settings cache. Input: byte 0
// the slot, byte 1 the single register last read, byte 2 the form (odd: the
// rest is the frame as received; even: the rest is a "PRAS" body after the
// header, so that every register count is reached), then the bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/config/SensorSettingsCache.h"
#include "core/net/SensorFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static tav::SensorSettingsCache *cache = new tav::SensorSettingsCache;
    if (size < 3)
        return 0;
    const int slot = data[0] % (tav::kSlotCount + 2) - 1;  // -1 and 40 too
    cache->SetPendingSingleRegister(data[1] & 1 ? tav::kRegDeviceAddress : tav::kRegSamplingFrequencyMode);
    uint8_t frame[tav::kMaxReplyLength];
    size_t length;
    if (data[2] & 1) {
        length = std::min<size_t>(size - 3, sizeof frame);
        std::memcpy(frame, data + 3, length);
    } else {
        // "PRAS", the length, 10 header bytes, the register count, values.
        length = std::min<size_t>(6 + size - 3, sizeof frame);
        std::memcpy(frame, "PRAS", 4);
        frame[4] = uint8_t(length);
        frame[5] = uint8_t(length >> 8);
        std::memcpy(frame + 6, data + 3, length - 6);
    }
    const tav::ReplyOutcome out = cache->Intake(slot, frame, length, uint32_t(size));
    if (slot < 0 || slot >= tav::kSlotCount)
        return out.read || out.write ? (__builtin_trap(), 0) : 0;
    const tav::SensorSettingsEntry &e = cache->Entry(slot);
    (void)e.Parameters();
    (void)e.Communication();
    (void)e.DeviceAddress();
    if (std::strlen(e.deviceId) > 8 || e.VersionText().empty())
        __builtin_trap();
    return 0;
}
