// Line-based editing of one [sensor.N] table of station.toml. A TOML library
// would drop the operator's comments and layout on rewriting, so the table's
// own lines are edited and every other line is copied through unchanged.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "settings/StationSettings.h"

namespace tav {

namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && (Blank(s[b]) || s[b] == '\r')) ++b;
    while (e > b && (Blank(s[e - 1]) || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

// A table header line: "[name]" or "[[name]]" with an optional comment.
// Array lines such as "[1, 2]," are not headers (they hold a comma or
// quotes around something that is not a dotted name).
bool IsHeader(const std::string &line, std::string *name)
{
    std::string t = Trim(line);
    if (t.empty() || t[0] != '[')
        return false;
    const size_t close = t.find(']');
    if (close == std::string::npos)
        return false;
    std::string inside = t.substr(1, close - 1);
    size_t after = close + 1;
    if (!inside.empty() && inside[0] == '[') {
        inside.erase(0, 1);
        if (after >= t.size() || t[after] != ']')
            return false;
        ++after;
    }
    std::string rest = Trim(t.substr(after));
    if (!rest.empty() && rest[0] != '#')
        return false;
    std::string compact;
    for (char c : inside) {
        if (Blank(c) || c == '"')
            continue;
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
              static_cast<unsigned char>(c) >= 0x80))
            return false;
        compact += c;
    }
    if (compact.empty())
        return false;
    *name = compact;
    return true;
}

// The bare key of a "key = value" line, or empty.
std::string KeyOf(const std::string &line)
{
    const std::string t = Trim(line);
    if (t.empty() || t[0] == '#')
        return {};
    const size_t eq = t.find('=');
    if (eq == std::string::npos)
        return {};
    std::string key = Trim(t.substr(0, eq));
    if (key.size() >= 2 && key.front() == '"' && key.back() == '"')
        key = key.substr(1, key.size() - 2);
    return key;
}

// What follows a line's value: spaces and a comment, kept when the value
// changes. Strings are skipped whole, so a '#' inside one is not a comment.
std::string TailOf(const std::string &line)
{
    size_t i = line.find('=');
    if (i == std::string::npos)
        return {};
    ++i;
    while (i < line.size() && Blank(line[i])) ++i;
    if (i < line.size() && (line[i] == '"' || line[i] == '\'')) {
        const char quote = line[i++];
        while (i < line.size() && line[i] != quote) {
            if (quote == '"' && line[i] == '\\')
                ++i;
            ++i;
        }
        ++i;
    }
    while (i < line.size() && line[i] != '#') ++i;
    size_t start = i;
    while (start > 0 && Blank(line[start - 1])) --start;
    std::string tail = line.substr(std::min(start, line.size()));
    if (!tail.empty() && tail.back() == '\r')
        tail.pop_back();
    return Trim(tail).empty() ? std::string() : tail;
}

std::string Quote(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string Number(double v)
{
    char text[32];
    auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

// The keys the machine settings own, in the order a new table lists them,
// with their values; an unset key has an empty value.
std::vector<std::pair<std::string, std::string>> Entries(const MachineSettings &m)
{
    std::vector<std::pair<std::string, std::string>> e;
    e.emplace_back("name", m.name.empty() ? std::string() : Quote(m.name));
    e.emplace_back("iso_class", m.isoClass == IsoClass::kNone ? std::string() : Quote(IsoClassKey(m.isoClass)));
    for (int q = 0; q < kAlarmQuantityCount; ++q) {
        const std::string stem = AlarmQuantityKey(q);
        e.emplace_back(stem + "_alert", std::isfinite(m.alert[q]) ? Number(m.alert[q]) : std::string());
        e.emplace_back(stem + "_danger", std::isfinite(m.danger[q]) ? Number(m.danger[q]) : std::string());
    }
    e.emplace_back("on_delay_s", Number(m.onDelayS));
    return e;
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace

std::string EditMachineTable(const std::string &text, const MachineSettings &m)
{
    const std::string wanted = "sensor." + std::to_string(m.address);
    std::vector<std::string> lines = SplitLines(text);
    const bool crlf = text.find("\r\n") != std::string::npos;
    auto entries = Entries(m);

    // The table's lines: from its header to the next header.
    size_t begin = lines.size(), end = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        if (!IsHeader(lines[i], &name))
            continue;
        if (begin == lines.size()) {
            if (name == wanted)
                begin = i;
        } else {
            end = i;
            break;
        }
    }

    std::vector<std::string> out(lines.begin(), lines.begin() + std::min(begin, lines.size()));
    std::vector<bool> written(entries.size(), false);
    if (begin < lines.size()) {
        out.push_back(lines[begin]);
        size_t lastKey = out.size();  // new keys go after the table's last key line
        for (size_t i = begin + 1; i < end; ++i) {
            const std::string key = KeyOf(lines[i]);
            size_t k = 0;
            while (k < entries.size() && entries[k].first != key) ++k;
            if (key.empty() || k == entries.size()) {
                out.push_back(lines[i]);
                if (!key.empty())
                    lastKey = out.size();
                continue;
            }
            if (written[k] || entries[k].second.empty())
                continue;  // unset now, or a duplicate line: dropped
            size_t indent = 0;
            while (indent < lines[i].size() && Blank(lines[i][indent])) ++indent;
            out.push_back(lines[i].substr(0, indent) + key + " = " + entries[k].second + TailOf(lines[i]));
            written[k] = true;
            lastKey = out.size();
        }
        std::vector<std::string> added;
        for (size_t k = 0; k < entries.size(); ++k)
            if (!written[k] && !entries[k].second.empty())
                added.push_back(entries[k].first + " = " + entries[k].second);
        out.insert(out.begin() + long(lastKey), added.begin(), added.end());
        out.insert(out.end(), lines.begin() + long(end), lines.end());
    } else {
        if (!out.empty() && !Trim(out.back()).empty())
            out.emplace_back();
        out.push_back("[" + wanted + "]");
        for (const auto &[key, value] : entries)
            if (!value.empty())
                out.push_back(key + " = " + value);
    }
    std::string result;
    for (const std::string &line : out) {
        result += line;
        if (crlf && (line.empty() || line.back() != '\r'))
            result += '\r';
        result += '\n';
    }
    return result;
}

std::string SaveMachineSettings(const std::string &path, const MachineSettings &m)
{
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            std::ostringstream all;
            all << in.rdbuf();
            text = all.str();
        }
    }
    const std::string edited = EditMachineTable(text, m);
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return "无法写入 " + temp + "：" + std::strerror(errno);
    size_t done = 0;
    int error = 0;
    while (done < edited.size()) {
        const ssize_t w = ::write(fd, edited.data() + done, edited.size() - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        done += size_t(w);
    }
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error) {
        ::unlink(temp.c_str());
        return "无法保存 " + path + "：" + std::strerror(error);
    }
    return {};
}

}  // namespace tav
