#include "core/net/AccessList.h"

#include <cstdio>

namespace tav {

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Trim(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Reads a decimal number of 1..3 digits at text[*pos], no leading zero.
bool ReadSmallDecimal(const std::string &text, size_t *pos, int *value)
{
    size_t p = *pos;
    int v = 0, digits = 0;
    while (p < text.size() && IsDigit(text[p]) && digits < 4) {
        v = v * 10 + (text[p] - '0');
        ++p;
        ++digits;
    }
    if (digits == 0 || digits > 3 || (digits > 1 && text[*pos] == '0'))
        return false;
    *pos = p;
    *value = v;
    return true;
}
}  // namespace

bool ParseIpv4(const std::string &text, uint32_t *address)
{
    size_t pos = 0;
    uint32_t a = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        int octet = 0;
        if (!ReadSmallDecimal(text, &pos, &octet) || octet > 255)
            return false;
        a = a << 8 | uint32_t(octet);
    }
    if (pos != text.size())
        return false;
    *address = a;
    return true;
}

bool ParseIpv4Network(const std::string &text, Ipv4Network *out, std::string *why)
{
    if (text.find(':') != std::string::npos) {
        *why = "只支持IPv4地址";
        return false;
    }
    const size_t slash = text.find('/');
    uint32_t address = 0;
    if (!ParseIpv4(text.substr(0, slash), &address)) {
        *why = "不是有效的IPv4地址（四个0到255的十进制数，不带前导零）";
        return false;
    }
    int prefix = 32;
    if (slash != std::string::npos) {
        size_t pos = slash + 1;
        if (!ReadSmallDecimal(text, &pos, &prefix) || pos != text.size() || prefix > 32) {
            *why = "网络前缀长度应为0到32的整数";
            return false;
        }
    }
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
    if ((address & ~mask) != 0) {
        *why = "网络地址的主机位不为零，应写作 " + Ipv4Text(address & mask) + "/" + std::to_string(prefix);
        return false;
    }
    out->address = address;
    out->mask = mask;
    return true;
}

std::string Ipv4Text(uint32_t a)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255u, (a >> 8) & 255u, a & 255u);
    return text;
}

std::vector<std::string> SplitCommaList(const std::string &text)
{
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        items.push_back(Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

AccessList AccessList::FromEntries(const std::vector<std::string> &entries, const std::string &origin,
                                   std::vector<std::string> *messages)
{
    AccessList list;
    list.restricted_ = true;
    for (const std::string &entry : entries) {
        Ipv4Network network;
        std::string why;
        if (ParseIpv4Network(entry, &network, &why)) {
            list.networks_.push_back(network);
        } else if (messages) {
            messages->push_back(origin + " 中的 \"" + entry + "\" " + why + "，该项不允许任何连接");
        }
    }
    if (list.networks_.empty() && messages)
        messages->push_back(origin + " 没有可用的地址，不接受任何传感器连接");
    return list;
}

bool AccessList::Allows(uint32_t address) const
{
    if (!restricted_)
        return true;
    for (const Ipv4Network &n : networks_)
        if ((address & n.mask) == n.address)
            return true;
    return false;
}

uint32_t BindAddressFrom(const std::string &bind, const std::string &origin, bool *ok,
                         std::vector<std::string> *messages)
{
    *ok = true;
    if (bind.empty())
        return 0;
    uint32_t address = 0;
    if (ParseIpv4(bind, &address))
        return address;
    *ok = false;
    if (messages)
        messages->push_back(origin + " \"" + bind +
                            "\" 不是有效的IPv4地址（四个0到255的十进制数，不带前导零），不在任何地址上监听，不接受任何传感器连接");
    return 0;
}

}  // namespace tav
