#pragma once
// Register commands sent to a sensor over its own connection.
//
// Header (little-endian): marker "PDRT"/"PDWT", total length, sequence, 0,
// word count (length - 16) / 2, sensor address, function, first register;
// then the kind's fields and the end marker "PEND".
#include <cstddef>
#include <cstdint>
#include <string>

namespace tav {

enum CommandFunction : uint16_t {
    kFunctionReadRegisters = 3,
    kFunctionWriteRegister = 6,
    kFunctionWriteRegisters = 16,
};

// Registers the station reads and writes.
enum SensorRegister : uint16_t {
    kRegCommand = 0,
    kRegMeasuringRange = 1,
    kRegAxisMode = 2,
    kRegSensorMode = 3,
    kRegAcquisitionTime = 4,
    kRegUnlabeledTime = 5,
    kRegIntervalTime = 6,
    kRegDownsampling = 7,
    kRegHighPass = 8,  // 8-9
    kRegLowPass = 10,  // 10-11
    kRegMac = 12,      // 12-14
    kRegDeviceIp = 15, // communication block 15-25
    kRegServerPort = 23,
    kRegServerIp = 24,
    kRegDeviceAddress = 26,
    kRegLockCode = 27,  // 27-28 when written
    kRegVersion = 27,   // 27-30 when read, followed by the identifier 31-34
    kRegDeviceId = 31,
    kRegSamplingFrequencyMode = 36,
};

constexpr int kParameterBlockRegisters = 12;      // 0..11
constexpr int kCommunicationBlockRegisters = 11;  // 15..25
constexpr int kVersionAndIdRegisters = 8;         // 27..34
constexpr int kMacRegisters = 3;                  // 12..14

// Values of register 0.
constexpr uint16_t kCommandStartAcquisition = 1;
constexpr uint16_t kCommandStopAcquisition = 2;
constexpr uint16_t kCommandEnterUpgradeMode = 0x4D2C;

// One built frame. The largest command writes 12 registers: 50 bytes.
struct CommandFrame {
    static constexpr int kCapacity = 64;
    uint8_t bytes[kCapacity] = {};
    uint16_t length = 0;

    static CommandFrame ReadRequest(uint16_t sequence, uint16_t sensorAddress, uint16_t firstRegister,
                                    uint16_t count);
    static CommandFrame WriteSingleRequest(uint16_t sequence, uint16_t sensorAddress, uint16_t reg,
                                           uint16_t value);
    // `payload` holds the 2 x count register bytes exactly as they go on the
    // wire (the payload builders below produce them). count is 1..19.
    static CommandFrame WriteBlockRequest(uint16_t sequence, uint16_t sensorAddress, uint16_t firstRegister,
                                          const uint8_t *payload, int count);
};

// IPv4 register pairs carry the octets in dotted order; `address` is the
// 32-bit value with the first octet in the top byte.
void PutIpv4(uint8_t *dst, uint32_t address);
// The inverse, from the two registers as they arrived (read little-endian).
uint32_t DecodeIpv4(uint16_t firstRegister, uint16_t secondRegister);
std::string FormatIpv4(uint32_t address);

struct CommunicationSettings {
    uint32_t deviceIp = 0;
    uint32_t subnetMask = 0;
    uint32_t gatewayIp = 0;
    uint32_t dnsServer = 0;
    uint16_t serverPort = 0;
    uint32_t serverIp = 0;
};
// Registers 15..25: 22 bytes.
void PutCommunicationBlock(uint8_t *dst, const CommunicationSettings &s);

struct ParameterSettings {
    uint16_t measuringRange = 0;  // 0..3
    uint16_t axisMode = 0;        // 0..3
    uint16_t sensorMode = 0;      // 0..3
    uint16_t acquisitionTime = 0;
    uint16_t unlabeledTime = 0;
    uint16_t intervalTime = 0;
    uint16_t downsampling = 0;
    int32_t highPassHz = 0;
    int32_t lowPassHz = 0;
};
// Registers 0..11: 24 bytes, register 0 (command) written as 0.
void PutParameterBlock(uint8_t *dst, const ParameterSettings &s);

// Registers 12..14: the six MAC bytes in screen order.
void PutMac(uint8_t *dst, const uint8_t mac[6]);
// Registers 31..34: the first 8 bytes of the text, zero-padded.
void PutDeviceId(uint8_t *dst, const std::string &text);
// Registers 27..28: a 32-bit code, low half in register 27.
void PutLockCode(uint8_t *dst, uint32_t code);

// "%02X " per byte, as the traffic views show frames.
std::string FormatHex(const uint8_t *data, size_t length);

}  // namespace tav
