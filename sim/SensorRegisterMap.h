#pragma once
// The settings of one simulated sensor as the station sees them: an array of
// 16-bit registers, read and written by register commands. Register values
// are held as the 16-bit numbers that travel little-endian on the wire, so an
// IPv4 pair holds its octets in dotted order (first octet = low byte of the
// first register). Single-threaded: owned by one sensor.
#include <array>
#include <cstdint>
#include <string>

namespace tav::sim {

class SensorRegisterMap {
public:
    static constexpr int kCount = 64;

    // Register numbers the sensor acts on or fills at start.
    static constexpr int kCommand = 0;
    static constexpr int kMeasuringRange = 1;
    static constexpr int kAxisMode = 2;
    static constexpr int kSensorMode = 3;
    static constexpr int kAcquisitionTime = 4;
    static constexpr int kUnlabeledTime = 5;
    static constexpr int kIntervalTime = 6;
    static constexpr int kDownsampling = 7;
    static constexpr int kHighPass = 8;
    static constexpr int kLowPass = 10;
    static constexpr int kMac = 12;
    static constexpr int kDeviceIp = 15;
    static constexpr int kSubnetMask = 17;
    static constexpr int kGateway = 19;
    static constexpr int kDns = 21;
    static constexpr int kServerPort = 23;
    static constexpr int kServerIp = 24;
    static constexpr int kDeviceAddress = 26;
    static constexpr int kVersion = 27;  // 27-30; 27-28 also take the lock codes
    static constexpr int kDeviceId = 31; // 31-34
    static constexpr int kSamplingFrequencyMode = 36;

    // Command values of register 0.
    static constexpr uint16_t kStartAcquisition = 1;
    static constexpr uint16_t kStopAcquisition = 2;
    static constexpr uint16_t kEnterUpgrade = 0x4D2C;

    // Factory settings of the sensor with `address`, number `index` in its
    // fleet (which picks its device IP and MAC), set to report to `serverPort`.
    static SensorRegisterMap Defaults(uint32_t address, int index, uint16_t serverPort);

    uint16_t Get(int reg) const { return (reg >= 0 && reg < kCount) ? regs_[reg] : 0; }
    void Set(int reg, uint16_t value)
    {
        if (reg >= 0 && reg < kCount)
            regs_[reg] = value;
    }

    void SetIpv4(int reg, uint8_t a, uint8_t b, uint8_t c, uint8_t d);
    std::string Ipv4(int reg) const;  // "a.b.c.d"
    uint32_t Get32(int reg) const { return uint32_t(Get(reg)) | (uint32_t(Get(reg + 1)) << 16); }
    void Set32(int reg, uint32_t v)
    {
        Set(reg, uint16_t(v));
        Set(reg + 1, uint16_t(v >> 16));
    }
    std::string DeviceId() const;  // up to 8 characters, zero padding removed

    // Full-scale range in g that register 1 selects (16, 8, 4, 2), 0 if unknown.
    double RangeG() const;

private:
    std::array<uint16_t, kCount> regs_{};
};

}  // namespace tav::sim
