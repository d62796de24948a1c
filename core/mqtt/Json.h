#pragma once
// A small JSON writer for the broker's payloads: objects and values appended
// to one string, strings escaped, numbers in their shortest exact form and
// non-finite numbers as null (JSON has no NaN), so a consumer never chokes on
// a sensor's bad value.
#include <cstdint>
#include <string>
#include <string_view>

namespace tav {

class JsonWriter {
public:
    JsonWriter &BeginObject();
    JsonWriter &EndObject();
    // A member's name; the value follows with one of the calls below.
    JsonWriter &Key(std::string_view key);
    JsonWriter &String(std::string_view value);
    JsonWriter &Number(double value);
    JsonWriter &Number(float value);
    JsonWriter &Integer(int64_t value);
    JsonWriter &Bool(bool value);
    JsonWriter &Null();
    // Splices an already written JSON value (a nested document).
    JsonWriter &Raw(std::string_view json);

    const std::string &Text() const { return out_; }
    std::string Take() { return std::move(out_); }

private:
    void Separate();
    std::string out_;
    bool needComma_ = false;
};

// Appends `value` as a JSON string literal: quotes, backslashes and control
// characters escaped; bytes that are not valid UTF-8 become U+FFFD so the
// payload stays valid UTF-8 whatever a settings file or sensor name holds.
void AppendJsonString(std::string *out, std::string_view value);

// "2026-12-09T04:34:20.123Z" for UTC milliseconds since 1970.
std::string IsoUtcMs(int64_t utcMs);

}  // namespace tav
