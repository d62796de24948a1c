#include "core/config/CommandFrame.h"

#include <cstdio>
#include <cstring>

namespace tav {

namespace {

void PutU16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void PutU32(uint8_t *p, uint32_t v)
{
    PutU16(p, uint16_t(v));
    PutU16(p + 2, uint16_t(v >> 16));
}

uint16_t Swap16(uint16_t v) { return uint16_t(v << 8 | v >> 8); }

// Common header; the kind-specific fields start at offset 18.
CommandFrame Header(bool write, uint16_t length, uint16_t sequence, uint16_t sensorAddress, uint16_t function,
                    uint16_t firstRegister)
{
    CommandFrame f;
    std::memcpy(f.bytes, write ? "PDWT" : "PDRT", 4);
    PutU16(f.bytes + 4, length);
    PutU16(f.bytes + 6, sequence);
    PutU16(f.bytes + 8, 0);
    PutU16(f.bytes + 10, uint16_t((length - 16) / 2));
    PutU16(f.bytes + 12, sensorAddress);
    PutU16(f.bytes + 14, function);
    PutU16(f.bytes + 16, firstRegister);
    std::memcpy(f.bytes + length - 4, "PEND", 4);
    f.length = length;
    return f;
}

}  // namespace

CommandFrame CommandFrame::ReadRequest(uint16_t sequence, uint16_t sensorAddress, uint16_t firstRegister,
                                       uint16_t count)
{
    CommandFrame f = Header(false, 24, sequence, sensorAddress, kFunctionReadRegisters, firstRegister);
    PutU16(f.bytes + 18, count);
    return f;
}

CommandFrame CommandFrame::WriteSingleRequest(uint16_t sequence, uint16_t sensorAddress, uint16_t reg,
                                              uint16_t value)
{
    CommandFrame f = Header(true, 24, sequence, sensorAddress, kFunctionWriteRegister, reg);
    PutU16(f.bytes + 18, value);
    return f;
}

CommandFrame CommandFrame::WriteBlockRequest(uint16_t sequence, uint16_t sensorAddress, uint16_t firstRegister,
                                             const uint8_t *payload, int count)
{
    // 26 + 2n bytes must fit the frame.
    if (count < 1)
        count = 1;
    if (count > (kCapacity - 26) / 2)
        count = (kCapacity - 26) / 2;
    CommandFrame f =
        Header(true, uint16_t(26 + 2 * count), sequence, sensorAddress, kFunctionWriteRegisters, firstRegister);
    PutU16(f.bytes + 18, uint16_t(count));
    PutU16(f.bytes + 20, uint16_t(2 * count));
    std::memcpy(f.bytes + 22, payload, size_t(2 * count));
    return f;
}

void PutIpv4(uint8_t *dst, uint32_t address)
{
    dst[0] = uint8_t(address >> 24);
    dst[1] = uint8_t(address >> 16);
    dst[2] = uint8_t(address >> 8);
    dst[3] = uint8_t(address);
}

uint32_t DecodeIpv4(uint16_t firstRegister, uint16_t secondRegister)
{
    return uint32_t(Swap16(firstRegister)) << 16 | Swap16(secondRegister);
}

std::string FormatIpv4(uint32_t a)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return text;
}

void PutCommunicationBlock(uint8_t *dst, const CommunicationSettings &s)
{
    PutIpv4(dst + 0, s.deviceIp);
    PutIpv4(dst + 4, s.subnetMask);
    PutIpv4(dst + 8, s.gatewayIp);
    PutIpv4(dst + 12, s.dnsServer);
    PutU16(dst + 16, s.serverPort);
    PutIpv4(dst + 18, s.serverIp);
}

void PutParameterBlock(uint8_t *dst, const ParameterSettings &s)
{
    PutU16(dst + 0, 0);
    PutU16(dst + 2, s.measuringRange);
    PutU16(dst + 4, s.axisMode);
    PutU16(dst + 6, s.sensorMode);
    PutU16(dst + 8, s.acquisitionTime);
    PutU16(dst + 10, s.unlabeledTime);
    PutU16(dst + 12, s.intervalTime);
    PutU16(dst + 14, s.downsampling);
    PutU32(dst + 16, uint32_t(s.highPassHz));
    PutU32(dst + 20, uint32_t(s.lowPassHz));
}

void PutMac(uint8_t *dst, const uint8_t mac[6]) { std::memcpy(dst, mac, 6); }

void PutDeviceId(uint8_t *dst, const std::string &text)
{
    std::memset(dst, 0, 8);
    std::memcpy(dst, text.data(), text.size() < 8 ? text.size() : 8);
}

void PutLockCode(uint8_t *dst, uint32_t code) { PutU32(dst, code); }

std::string FormatHex(const uint8_t *data, size_t length)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
        text += ' ';
    }
    return text;
}

}  // namespace tav
