#include "plant/ingest/CopyText.h"

#include <cstdio>

namespace tav::plant {

namespace {

constexpr int64_t kDayMs = 86400000;

}  // namespace

bool ParseIsoUtc(std::string_view s, int64_t *utcMs)
{
    auto num = [&](size_t at, size_t n, int *out) {
        int v = 0;
        for (size_t i = at; i < at + n; ++i) {
            if (i >= s.size() || s[i] < '0' || s[i] > '9')
                return false;
            v = v * 10 + (s[i] - '0');
        }
        *out = v;
        return true;
    };
    int y, mo, d, h, mi, se, ms = 0;
    if (s.size() < 20 || !num(0, 4, &y) || s[4] != '-' || !num(5, 2, &mo) || s[7] != '-' || !num(8, 2, &d) ||
        s[10] != 'T' || !num(11, 2, &h) || s[13] != ':' || !num(14, 2, &mi) || s[16] != ':' || !num(17, 2, &se))
        return false;
    size_t at = 19;
    if (s[at] == '.') {
        size_t digits = 0;
        int frac = 0;
        for (++at; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at, ++digits)
            if (digits < 3)
                frac = frac * 10 + (s[at] - '0');
        if (digits == 0)
            return false;
        for (size_t k = digits; k < 3; ++k)
            frac *= 10;
        ms = frac;
    }
    if (at + 1 != s.size() || s[at] != 'Z')
        return false;
    static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || h > 23 || mi > 59 || se > 60)
        return false;
    // Days from 1970-01-01 of a proleptic Gregorian date.
    const int yy = y - (mo <= 2);
    const int era = yy / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = int64_t(era) * 146097 + doe - 719468;
    *utcMs = ((days * 24 + h) * 60 + mi) * 60000LL + se * 1000LL + ms;
    return true;
}

std::string SqlTime(int64_t utcMs)
{
    int64_t days = utcMs >= 0 ? utcMs / kDayMs : (utcMs - kDayMs + 1) / kDayMs;
    const int64_t inDay = utcMs - days * kDayMs;
    // Civil date from days since 1970-01-01.
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2);
    char buf[128];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%03lld+00", (long long)y, (long long)m,
                  (long long)d, (long long)(inDay / 3600000), (long long)(inDay / 60000 % 60),
                  (long long)(inDay / 1000 % 60), (long long)(inDay % 1000));
    return buf;
}

void AppendCopyText(std::string *out, std::string_view text)
{
    for (char c : text) {
        switch (c) {
        case '\\': *out += "\\\\"; break;
        case '\t': *out += "\\t"; break;
        case '\n': *out += "\\n"; break;
        case '\r': *out += "\\r"; break;
        case '\0': break;  // PostgreSQL's text cannot hold it
        default: *out += c;
        }
    }
}

}  // namespace tav::plant
