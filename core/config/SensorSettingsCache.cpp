#include "core/config/SensorSettingsCache.h"

#include <cstdio>
#include <cstring>

namespace tav {

namespace {
uint16_t GetU16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t GetU32(const uint8_t *p) { return uint32_t(GetU16(p)) | uint32_t(GetU16(p + 2)) << 16; }

constexpr size_t kReplyDataOffset = 18;
}  // namespace

uint16_t SensorSettingsEntry::ParameterRegister(int reg) const { return GetU16(parameterBlock + 2 * reg); }

ParameterSettings SensorSettingsEntry::Parameters() const
{
    ParameterSettings s;
    s.measuringRange = ParameterRegister(kRegMeasuringRange);
    s.axisMode = ParameterRegister(kRegAxisMode);
    s.sensorMode = ParameterRegister(kRegSensorMode);
    s.acquisitionTime = ParameterRegister(kRegAcquisitionTime);
    s.unlabeledTime = ParameterRegister(kRegUnlabeledTime);
    s.intervalTime = ParameterRegister(kRegIntervalTime);
    s.downsampling = ParameterRegister(kRegDownsampling);
    s.highPassHz = int32_t(GetU32(parameterBlock + 2 * kRegHighPass));
    s.lowPassHz = int32_t(GetU32(parameterBlock + 2 * kRegLowPass));
    return s;
}

CommunicationSettings SensorSettingsEntry::Communication() const
{
    const uint8_t *b = communicationBlock;
    auto ip = [&](int offset) { return DecodeIpv4(GetU16(b + offset), GetU16(b + offset + 2)); };
    CommunicationSettings s;
    s.deviceIp = ip(0);
    s.subnetMask = ip(4);
    s.gatewayIp = ip(8);
    s.dnsServer = ip(12);
    s.serverPort = GetU16(b + 16);
    s.serverIp = ip(18);
    return s;
}

uint16_t SensorSettingsEntry::DeviceAddress() const { return GetU16(deviceAddress); }
int32_t SensorSettingsEntry::VersionFirst() const { return int32_t(GetU32(version)); }
int32_t SensorSettingsEntry::VersionSecond() const { return int32_t(GetU32(version + 4)); }

std::string SensorSettingsEntry::VersionText() const
{
    char text[32];
    std::snprintf(text, sizeof text, "%d--%d", VersionFirst(), VersionSecond());
    return text;
}

ReplyOutcome SensorSettingsCache::Intake(int slot, const uint8_t *data, size_t length, uint32_t generation)
{
    ReplyOutcome out;
    if (slot < 0 || slot >= kSlotCount || !data || length < 6)
        return out;
    if (std::memcmp(data, "PWAS", 4) == 0) {
        out.write = true;
        if (length >= 8)
            out.sequence = GetU16(data + 6);
        return out;
    }
    if (std::memcmp(data, "PRAS", 4) != 0 || length < kReplyDataOffset)
        return out;
    out.read = true;
    int n = GetU16(data + 16);
    out.registerCount = n;
    const uint8_t *values = data + kReplyDataOffset;
    size_t available = length - kReplyDataOffset;
    SensorSettingsEntry &e = entries_[slot];
    auto fits = [&](size_t bytes) { return available >= bytes; };
    auto stamp = [&](SettingsGroup g) { e.answers[int(g)] = {generation, ++serial_}; };
    switch (n) {
    case kParameterBlockRegisters:
        out.refresh = true;
        if (fits(24)) {
            std::memcpy(e.parameterBlock, values, 24);
            e.parameterBlockGeneration = generation;
            stamp(SettingsGroup::Parameters);
        }
        break;
    case kCommunicationBlockRegisters:
        out.refresh = true;
        if (fits(22)) {
            std::memcpy(e.communicationBlock, values, 22);
            stamp(SettingsGroup::Communication);
        }
        break;
    case 1:
        // One-register replies do not name their register; the last
        // single-register read sent tells which it was.
        out.refresh = true;
        if (!fits(2))
            break;
        if (pendingSingleRegister_ == kRegDeviceAddress) {
            std::memcpy(e.deviceAddress, values, 2);
            stamp(SettingsGroup::DeviceAddress);
        } else if (pendingSingleRegister_ == kRegSamplingFrequencyMode) {
            samplingFrequencyMode_ = GetU16(values);
            stamp(SettingsGroup::SamplingMode);
        }
        break;
    case kVersionAndIdRegisters:
        out.refresh = true;
        if (fits(16)) {
            std::memcpy(e.version, values, 8);
            std::memcpy(e.deviceId, values + 8, 8);
            e.deviceId[8] = 0;
            stamp(SettingsGroup::VersionAndId);
        }
        break;
    case kMacRegisters:
        out.refresh = true;
        if (fits(6)) {
            std::memcpy(e.mac, values, 6);
            stamp(SettingsGroup::Mac);
        }
        break;
    default:
        break;
    }
    return out;
}

}  // namespace tav
