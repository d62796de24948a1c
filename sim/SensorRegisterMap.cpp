#include "sim/SensorRegisterMap.h"

#include <cstdio>

namespace tav::sim {

SensorRegisterMap SensorRegisterMap::Defaults(uint32_t address, int index, uint16_t serverPort)
{
    SensorRegisterMap m;
    m.Set(kMeasuringRange, 1);  // +-8 g
    m.Set(kAxisMode, 0);        // three axes
    m.Set(kSensorMode, 0);
    m.Set(kAcquisitionTime, 10);
    m.Set(kUnlabeledTime, 0);
    m.Set(kIntervalTime, 60);
    m.Set(kDownsampling, 0);
    m.Set32(kHighPass, 0);
    m.Set32(kLowPass, 10000);

    // A locally administered MAC that differs per sensor.
    const uint8_t mac[6] = {0x02, 0x54, 0x56, 0x53, uint8_t(index >> 8), uint8_t(index)};
    for (int i = 0; i < 3; ++i)
        m.Set(kMac + i, uint16_t(mac[2 * i] | (mac[2 * i + 1] << 8)));

    // Device IPs 192.168.1.20 upwards, clear of the gateway (.1) and the
    // station (.100).
    m.SetIpv4(kDeviceIp, 192, 168, 1, uint8_t(20 + index % 79));
    m.SetIpv4(kSubnetMask, 255, 255, 255, 0);
    m.SetIpv4(kGateway, 192, 168, 1, 1);
    m.SetIpv4(kDns, 192, 168, 1, 1);
    m.Set(kServerPort, serverPort);
    m.SetIpv4(kServerIp, 192, 168, 1, 100);
    m.Set(kDeviceAddress, uint16_t(address));

    // Hardware revision 2, firmware build 20260115.
    m.Set32(kVersion, 2);
    m.Set32(kVersion + 2, 20260115);

    char id[16];
    std::snprintf(id, sizeof id, "VS%06u", unsigned(address % 1000000));
    for (int i = 0; i < 4; ++i)
        m.Set(kDeviceId + i, uint16_t(uint8_t(id[2 * i]) | (uint8_t(id[2 * i + 1]) << 8)));

    m.Set(kSamplingFrequencyMode, 0);
    return m;
}

void SensorRegisterMap::SetIpv4(int reg, uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    Set(reg, uint16_t(a | (b << 8)));
    Set(reg + 1, uint16_t(c | (d << 8)));
}

std::string SensorRegisterMap::Ipv4(int reg) const
{
    char buf[20];
    uint16_t r1 = Get(reg), r2 = Get(reg + 1);
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", r1 & 0xFF, r1 >> 8, r2 & 0xFF, r2 >> 8);
    return buf;
}

std::string SensorRegisterMap::DeviceId() const
{
    std::string id;
    for (int i = 0; i < 8; ++i) {
        uint16_t r = Get(kDeviceId + i / 2);
        char ch = char(i % 2 == 0 ? (r & 0xFF) : (r >> 8));
        if (ch == 0)
            break;
        id += ch;
    }
    return id;
}

double SensorRegisterMap::RangeG() const
{
    switch (Get(kMeasuringRange)) {
    case 0: return 16.0;
    case 1: return 8.0;
    case 2: return 4.0;
    case 3: return 2.0;
    default: return 0.0;
    }
}

}  // namespace tav::sim
