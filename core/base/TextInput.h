#pragma once
// Conversion of what the operator typed into the parameter dialog. Anything
// that would go to a sensor is checked strictly: a typo must not silently
// become 0 in a sensor's configuration.
#include <cstdint>
#include <optional>
#include <string>

namespace tav {

// A whole decimal integer: optional blanks, optional sign, digits, optional
// blanks, nothing else. Empty or partly numeric text gives nothing.
std::optional<int64_t> ParseInteger(const std::string &text);

// "额定转速" of the device record: a whole number of revolutions per minute,
// 0 or more. Both dialogs that save the record take it by this rule.
std::optional<int32_t> ParseRatedSpeed(const std::string &text);

// A complete dotted IPv4 address "a.b.c.d", each part 0..255. The result has
// the first octet in the top byte.
std::optional<uint32_t> ParseIpv4(const std::string &text);

// Operator text (UTF-8) to the sensor's single-byte code page (GBK) and back.
// Invalid bytes are skipped, so a truncated character never stops the text.
std::string Utf8ToGbk(const std::string &text);
std::string GbkToUtf8(const std::string &text);

}  // namespace tav
