#include "core/base/TextInput.h"

#include <iconv.h>

#include <cerrno>
#include <cctype>
#include <cstdint>

namespace tav {

std::optional<int64_t> ParseInteger(const std::string &text)
{
    size_t i = 0, n = text.size();
    while (i < n && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    size_t digitsStart = i;
    int64_t value = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
        if (value > (int64_t(1) << 40))  // far beyond every range checked here
            return std::nullopt;
        value = value * 10 + (text[i++] - '0');
    }
    if (i == digitsStart)
        return std::nullopt;
    while (i < n && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i != n)
        return std::nullopt;
    return negative ? -value : value;
}

std::optional<int32_t> ParseRatedSpeed(const std::string &text)
{
    const auto v = ParseInteger(text);
    if (!v || *v < 0 || *v > INT32_MAX)
        return std::nullopt;
    return int32_t(*v);
}

std::optional<uint32_t> ParseIpv4(const std::string &text)
{
    uint32_t address = 0;
    size_t i = 0, n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= n || text[i] != '.')
                return std::nullopt;
            ++i;
        }
        size_t start = i;
        unsigned value = 0;
        while (i < n && std::isdigit(static_cast<unsigned char>(text[i])) && i - start < 3)
            value = value * 10 + unsigned(text[i++] - '0');
        if (i == start || value > 255)
            return std::nullopt;
        address = address << 8 | value;
    }
    while (i < n && text[i] == ' ')
        ++i;
    if (i != n)
        return std::nullopt;
    return address;
}

namespace {
std::string Convert(const char *to, const char *from, const std::string &text)
{
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return text;
    std::string out;
    char buffer[256];
    char *in = const_cast<char *>(text.data());
    size_t inLeft = text.size();
    while (inLeft > 0) {
        char *dst = buffer;
        size_t dstLeft = sizeof buffer;
        size_t r = ::iconv(cd, &in, &inLeft, &dst, &dstLeft);
        out.append(buffer, size_t(dst - buffer));
        if (r == size_t(-1) && errno != E2BIG) {
            // Skip the byte that does not convert and carry on.
            ++in;
            --inLeft;
        }
    }
    ::iconv_close(cd);
    return out;
}
}  // namespace

std::string Utf8ToGbk(const std::string &text) { return Convert("GBK", "UTF-8", text); }
std::string GbkToUtf8(const std::string &text) { return Convert("UTF-8", "GBK", text); }

}  // namespace tav
