#include "core/config/SensorCodes.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace tav {

namespace {
std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::optional<uint32_t> ParseCode(const std::string &text)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return std::nullopt;
    // Decimal or 0x-hexadecimal, as the file says: a leading zero is not
    // octal ("0123" is 123), or a code typed with one would silently become
    // another number and the sensor be locked with it.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || !std::isxdigit(static_cast<unsigned char>(digits[0])))
        return std::nullopt;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != 0 || v > 0xFFFFFFFFull)
        return std::nullopt;
    return uint32_t(v);
}
}  // namespace

SensorCodes LoadSensorCodes(const std::string &path, std::string *warning)
{
    SensorCodes codes;
    std::ifstream in(path);
    if (!in)
        return codes;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        auto eq = line.find('=');
        std::string key = eq == std::string::npos ? line : Trim(line.substr(0, eq));
        std::optional<uint32_t> value;
        if (eq != std::string::npos)
            value = ParseCode(Trim(line.substr(eq + 1)));
        if ((key == "unlock" || key == "lock") && value) {
            (key == "unlock" ? codes.unlock : codes.lock) = value;
        } else if (warning) {
            *warning += path + " 第" + std::to_string(number) + "行无法识别：" + line + "\n";
        }
    }
    return codes;
}

}  // namespace tav
