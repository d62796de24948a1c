#pragma once
// The lock and unlock codes of the sensors, read from a small text file
// beside devicepara.dat:
//     unlock=0x12345678
//     lock=0x87654321
// Blank lines and lines starting with '#' are ignored; values are decimal or
// 0x-prefixed hexadecimal 32-bit numbers.
#include <cstdint>
#include <optional>
#include <string>

namespace tav {

constexpr const char *kSensorCodesFileName = "sensorcodes.conf";

struct SensorCodes {
    std::optional<uint32_t> unlock;
    std::optional<uint32_t> lock;
};

// Reads the file; a missing file gives no codes. A line that does not parse
// leaves its code unset and is described in *warning.
SensorCodes LoadSensorCodes(const std::string &path, std::string *warning = nullptr);

}  // namespace tav
