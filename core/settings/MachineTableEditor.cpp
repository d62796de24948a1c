// Line-based editing of one [sensor.N] table of station.toml. A TOML library
// would drop the operator's comments and layout on rewriting, so the table's
// own lines are edited and every other line is copied through unchanged.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

#include "core/config/DeviceParameterTable.h"
#include "core/settings/StationSettings.h"

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
    e.emplace_back("rated_rpm", m.ratedRpm > 0 ? Number(m.ratedRpm) : std::string());
    for (int q = 0; q < kAlarmQuantityCount; ++q) {
        const std::string stem = AlarmQuantityKey(q);
        e.emplace_back(stem + "_alert", std::isfinite(m.alert[q]) ? Number(m.alert[q]) : std::string());
        e.emplace_back(stem + "_danger", std::isfinite(m.danger[q]) ? Number(m.danger[q]) : std::string());
    }
    e.emplace_back("on_delay_s", Number(m.onDelayS));
    return e;
}

std::vector<std::pair<std::string, std::string>> BearingEntries(const BearingGeometry &b)
{
    return {{"name", b.name.empty() ? std::string() : Quote(b.name)},
            {"elements", std::to_string(b.elements)},
            {"ball_diameter_mm", Number(b.ballDiameterMm)},
            {"pitch_diameter_mm", Number(b.pitchDiameterMm)},
            {"contact_angle_deg", Number(b.contactAngleDeg)}};
}

std::vector<std::pair<std::string, std::string>> BaselineEntries(const SeverityBaseline &b)
{
    std::string velocity = "[";
    for (int axis = 0; axis < 3; ++axis)
        velocity += (axis ? ", " : "") + (std::isfinite(b.velocity[axis]) ? Number(b.velocity[axis]) : "nan");
    return {{"velocity", velocity + "]"},
            {"set_at", b.setAt.empty() ? std::string() : Quote(b.setAt)},
            {"from", b.from.empty() ? std::string() : Quote(b.from)},
            {"to", b.to.empty() ? std::string() : Quote(b.to)}};
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The value text of a "key = value" line, a string with its quotes.
std::string ValueOf(const std::string &line)
{
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return {};
    const std::string tail = TailOf(line);
    std::string value = line.substr(eq + 1);
    if (!tail.empty() && value.size() >= tail.size() && value.compare(value.size() - tail.size(), tail.size(), tail) == 0)
        value.resize(value.size() - tail.size());
    return Trim(value);
}

// A table's lines (header first) with the keys of `entries` set: lines of
// keys it sets are replaced in place (their trailing comments kept), keys
// it leaves unset are removed, other lines stay; missing keys go after the
// table's last key line. *keysEnd is the index just past that last key line.
std::vector<std::string> EditTable(const std::vector<std::string> &table,
                                   const std::vector<std::pair<std::string, std::string>> &entries, size_t *keysEnd)
{
    std::vector<std::string> out;
    std::vector<bool> written(entries.size(), false);
    out.push_back(table.front());
    size_t lastKey = out.size();
    for (size_t i = 1; i < table.size(); ++i) {
        const std::string key = KeyOf(table[i]);
        size_t k = 0;
        while (k < entries.size() && entries[k].first != key) ++k;
        if (key.empty() || k == entries.size()) {
            out.push_back(table[i]);
            if (!key.empty())
                lastKey = out.size();
            continue;
        }
        if (written[k] || entries[k].second.empty())
            continue;  // unset now, or a duplicate line: dropped
        size_t indent = 0;
        while (indent < table[i].size() && Blank(table[i][indent])) ++indent;
        out.push_back(table[i].substr(0, indent) + key + " = " + entries[k].second + TailOf(table[i]));
        written[k] = true;
        lastKey = out.size();
    }
    std::vector<std::string> added;
    for (size_t k = 0; k < entries.size(); ++k)
        if (!written[k] && !entries[k].second.empty())
            added.push_back(entries[k].first + " = " + entries[k].second);
    out.insert(out.begin() + long(lastKey), added.begin(), added.end());
    *keysEnd = lastKey + added.size();
    return out;
}

// Index just past the last key line of lines[begin, end), or begin + 1.
size_t BodyEnd(const std::vector<std::string> &lines, size_t begin, size_t end)
{
    size_t last = begin + 1;
    for (size_t i = begin + 1; i < end; ++i)
        if (!KeyOf(lines[i]).empty())
            last = i + 1;
    return last;
}

}  // namespace

std::string EditMachineTable(const std::string &text, const MachineSettings &m)
{
    const std::string wanted = "sensor." + std::to_string(m.address);
    const std::string bearingTable = wanted + ".bearing";
    const std::string baselineTable = wanted + ".baseline";
    const std::vector<std::string> lines = SplitLines(text);
    const bool crlf = text.find("\r\n") != std::string::npos;

    // The file as blocks: the lines before the first header, then one block
    // per header up to the next one.
    std::vector<size_t> starts{0};
    std::vector<std::string> names{""};
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        if (IsHeader(lines[i], &name)) {
            starts.push_back(i);
            names.push_back(name);
        }
    }
    starts.push_back(lines.size());

    std::vector<std::string> out;
    std::vector<std::vector<std::string>> oldBearings;  // header and key lines of each
    long bearingsAt = -1;  // where this sensor's bearings go: after its table's keys
    std::vector<std::string> oldBaseline{"[" + baselineTable + "]"};
    for (size_t b = 0; b + 1 < starts.size(); ++b) {
        const size_t begin = starts[b], end = starts[b + 1];
        if (b > 0 && names[b] == baselineTable) {
            // Like a bearing: its key lines move to just after the sensor's
            // keys, its comments and unknown keys with them.
            if (!out.empty() && Trim(out.back()).empty() && long(out.size()) > bearingsAt)
                out.pop_back();
            const size_t bodyEnd = BodyEnd(lines, begin, end);
            oldBaseline.assign(lines.begin() + long(begin), lines.begin() + long(bodyEnd));
            out.insert(out.end(), lines.begin() + long(bodyEnd), lines.begin() + long(end));
        } else if (b > 0 && names[b] == bearingTable) {
            // Taken out with the blank line that separated it; its trailing
            // comments stay where they are, they lead into what follows.
            if (!out.empty() && Trim(out.back()).empty() && long(out.size()) > bearingsAt)
                out.pop_back();
            const size_t bodyEnd = BodyEnd(lines, begin, end);
            oldBearings.emplace_back(lines.begin() + long(begin), lines.begin() + long(bodyEnd));
            out.insert(out.end(), lines.begin() + long(bodyEnd), lines.begin() + long(end));
        } else if (b > 0 && names[b] == wanted && bearingsAt < 0) {
            size_t keysEnd = 0;
            const std::vector<std::string> table(lines.begin() + long(begin), lines.begin() + long(end));
            const std::vector<std::string> edited = EditTable(table, Entries(m), &keysEnd);
            bearingsAt = long(out.size() + keysEnd);
            out.insert(out.end(), edited.begin(), edited.end());
        } else {
            out.insert(out.end(), lines.begin() + long(begin), lines.begin() + long(end));
        }
    }
    if (bearingsAt < 0) {
        if (!out.empty() && !Trim(out.back()).empty())
            out.emplace_back();
        out.push_back("[" + wanted + "]");
        for (const auto &[key, value] : Entries(m))
            if (!value.empty())
                out.push_back(key + " = " + value);
        bearingsAt = long(out.size());
    }

    // Each bearing takes the old table of the same name, so the operator's
    // comments and keys of our own in it survive; the others are new.
    std::vector<bool> used(oldBearings.size(), false);
    std::vector<std::string> bearingLines;
    if (m.baseline.Any()) {
        size_t keysEnd = 0;
        const std::vector<std::string> edited = EditTable(oldBaseline, BaselineEntries(m.baseline), &keysEnd);
        bearingLines.emplace_back();
        bearingLines.insert(bearingLines.end(), edited.begin(), edited.end());
    }
    for (const BearingGeometry &g : m.bearings) {
        std::vector<std::string> table{"[[" + bearingTable + "]]"};
        for (size_t o = 0; o < oldBearings.size() && !g.name.empty(); ++o) {
            if (used[o])
                continue;
            const auto &old = oldBearings[o];
            if (std::none_of(old.begin() + 1, old.end(), [&](const std::string &line) {
                    return KeyOf(line) == "name" && ValueOf(line) == Quote(g.name);
                }))
                continue;
            used[o] = true;
            table = old;
            if (Trim(table.front()).rfind("[[", 0) != 0)
                table.front() = "[[" + bearingTable + "]]";  // a single table becomes one of the array
            break;
        }
        size_t keysEnd = 0;
        const std::vector<std::string> edited = EditTable(table, BearingEntries(g), &keysEnd);
        bearingLines.emplace_back();
        bearingLines.insert(bearingLines.end(), edited.begin(), edited.end());
    }
    out.insert(out.begin() + bearingsAt, bearingLines.begin(), bearingLines.end());

    std::string result;
    for (const std::string &line : out) {
        result += line;
        if (crlf && (line.empty() || line.back() != '\r'))
            result += '\r';
        result += '\n';
    }
    return result;
}

std::string EditSettingsKey(const std::string &text, const std::string &table, const std::string &key,
                            const std::string &value)
{
    std::vector<std::string> lines = SplitLines(text);
    const bool crlf = text.find("\r\n") != std::string::npos;
    size_t begin = lines.size();
    for (size_t i = 0; i < lines.size() && begin == lines.size(); ++i) {
        std::string name;
        if (IsHeader(lines[i], &name) && name == table && Trim(lines[i]).rfind("[[", 0) != 0)
            begin = i;
    }
    if (begin == lines.size()) {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.emplace_back();
        lines.push_back("[" + table + "]");
        lines.push_back(key + " = " + value);
    } else {
        size_t end = begin + 1;
        std::string name;
        while (end < lines.size() && !IsHeader(lines[end], &name)) ++end;
        size_t keysEnd = 0;
        const std::vector<std::string> old(lines.begin() + long(begin), lines.begin() + long(end));
        const std::vector<std::string> edited = EditTable(old, {{key, value}}, &keysEnd);
        lines.erase(lines.begin() + long(begin), lines.begin() + long(end));
        lines.insert(lines.begin() + long(begin), edited.begin(), edited.end());
    }
    std::string result;
    for (const std::string &line : lines) {
        result += line;
        if (crlf && (line.empty() || line.back() != '\r'))
            result += '\r';
        result += '\n';
    }
    return result;
}

bool ReadSettingsText(const std::string &path, std::string *text, bool *existed, std::string *error)
{
    text->clear();
    *existed = false;
    // Without blocking: a FIFO in the file's place would otherwise hold the
    // caller until someone writes to it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = "无法读取 " + path + "：" + std::strerror(errno);
        return false;
    }
    *existed = true;
    // Only a regular file of a settings file's size: a link to a device
    // such as /dev/zero would never end, a huge file would take the memory.
    struct stat st{};
    std::string refusal;
    if (::fstat(fd, &st) != 0)
        refusal = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        refusal = "不是普通文件";
    else if (st.st_size > off_t(kMaxSettingsFileBytes))
        refusal = "文件过大（超过 " + std::to_string(kMaxSettingsFileBytes / (1024 * 1024)) + " MB）";
    char buf[8192];
    while (refusal.empty()) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            refusal = std::strerror(errno);
        else if (n == 0)
            break;
        else if (text->size() + size_t(n) > kMaxSettingsFileBytes)
            refusal = "文件过大（超过 " + std::to_string(kMaxSettingsFileBytes / (1024 * 1024)) + " MB）";
        else
            text->append(buf, size_t(n));
    }
    ::close(fd);
    if (refusal.empty())
        return true;
    text->clear();
    *error = "无法读取 " + path + "：" + refusal;
    return false;
}

std::string SaveMachineSettings(const std::string &path, const MachineSettings &m)
{
    // A file that exists but cannot be read must not be replaced by one that
    // holds only this table.
    std::string text, error;
    bool existed = false;
    if (!ReadSettingsText(path, &text, &existed, &error))
        return error;
    const std::string edited = EditMachineTable(text, m);
    if (!WriteFileDurably(path, reinterpret_cast<const uint8_t *>(edited.data()), edited.size(), &error))
        return "无法保存 " + path + "：" + error;
    return {};
}


std::string SaveSettingsKey(const std::string &path, const std::string &table, const std::string &key,
                            const std::string &value)
{
    std::string text, error;
    bool existed = false;
    if (!ReadSettingsText(path, &text, &existed, &error))
        return error;
    const std::string edited = EditSettingsKey(text, table, key, value);
    if (!WriteFileDurably(path, reinterpret_cast<const uint8_t *>(edited.data()), edited.size(), &error))
        return "无法保存 " + path + "：" + error;
    return {};
}

}  // namespace tav
