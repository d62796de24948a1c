#include "core/mqtt/Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace tav {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 if it is not one.
size_t Utf8Length(std::string_view s, size_t i)
{
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

}  // namespace

void AppendJsonString(std::string *out, std::string_view value)
{
    out->push_back('"');
    for (size_t i = 0; i < value.size();) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(char(c));
            ++i;
        } else if (c < 0x20) {
            switch (c) {
            case '\n': out->append("\\n"); break;
            case '\r': out->append("\\r"); break;
            case '\t': out->append("\\t"); break;
            case '\b': out->append("\\b"); break;
            case '\f': out->append("\\f"); break;
            default: {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out->append(buf);
            }
            }
            ++i;
        } else {
            const size_t n = Utf8Length(value, i);
            if (n == 0) {
                out->append("\xEF\xBF\xBD");
                ++i;
            } else {
                out->append(value.substr(i, n));
                i += n;
            }
        }
    }
    out->push_back('"');
}

void JsonWriter::Separate()
{
    if (needComma_)
        out_.push_back(',');
    needComma_ = true;
}

JsonWriter &JsonWriter::BeginObject()
{
    Separate();
    out_.push_back('{');
    needComma_ = false;
    return *this;
}

JsonWriter &JsonWriter::EndObject()
{
    out_.push_back('}');
    needComma_ = true;
    return *this;
}

JsonWriter &JsonWriter::Key(std::string_view key)
{
    Separate();
    AppendJsonString(&out_, key);
    out_.push_back(':');
    needComma_ = false;
    return *this;
}

JsonWriter &JsonWriter::String(std::string_view value)
{
    Separate();
    AppendJsonString(&out_, value);
    return *this;
}

namespace {
// The value's own shortest form: 0.1f stays "0.1", not 0.100000001490116.
template <typename T>
void AppendShortest(std::string *out, T value)
{
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out->append(buf, r.ptr);
}
}  // namespace

JsonWriter &JsonWriter::Number(double value)
{
    if (!std::isfinite(value))
        return Null();
    Separate();
    AppendShortest(&out_, value);
    return *this;
}

JsonWriter &JsonWriter::Number(float value)
{
    if (!std::isfinite(value))
        return Null();
    Separate();
    AppendShortest(&out_, value);
    return *this;
}

JsonWriter &JsonWriter::Integer(int64_t value)
{
    Separate();
    out_.append(std::to_string(value));
    return *this;
}

JsonWriter &JsonWriter::Bool(bool value)
{
    Separate();
    out_.append(value ? "true" : "false");
    return *this;
}

JsonWriter &JsonWriter::Null()
{
    Separate();
    out_.append("null");
    return *this;
}

JsonWriter &JsonWriter::Raw(std::string_view json)
{
    Separate();
    out_.append(json);
    return *this;
}

std::string IsoUtcMs(int64_t utcMs)
{
    int64_t secs = utcMs / 1000;
    int ms = int(utcMs % 1000);
    if (ms < 0) {
        ms += 1000;
        --secs;
    }
    const time_t t = time_t(secs);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];  // room for any int the compiler cannot rule out
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

}  // namespace tav
