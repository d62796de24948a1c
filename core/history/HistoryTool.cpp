// tavenor-history: the station's history for scripts and spreadsheets.
//   tavenor-history list [--folder DIR]
//   tavenor-history export --address A [--from T] [--to T] [--resolution raw|minute|hour|auto]
//                          [--utf8] [--out FILE] [--folder DIR]
//   tavenor-history events [--address A] [--from T] [--to T] [--utf8] [--out FILE] [--folder DIR]
//   tavenor-history alarms [--address A] [--from T] [--to T] [--utf8] [--out FILE] [--folder DIR]
//
// Exit status: 0 done; 1 the output could not be written; 2 nothing done
// (usage, no database, SQLite failed); 3 exported, but runs that do not
// unpack were skipped (each named on stderr).
//
// Machine names come from station.toml in the folder (as the station names
// them now), else from the newest alarm event that named the sensor. The
// alarm log itself keeps the name each event had when it happened.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "core/history/HistoryAlarmLog.h"
#include "core/history/HistoryCsv.h"
#include "core/history/HistoryReader.h"
#include "core/settings/StationSettings.h"

namespace {

using namespace tav;

int Fail(const std::string &text)
{
    std::fprintf(stderr, "tavenor-history: %s\n", text.c_str());
    return 2;
}

const char kUsage[] =
    "用法: tavenor-history list|export|events|alarms [--folder DIR] [--address A] [--from T] [--to T]\n"
    "       [--resolution raw|minute|hour|auto] [--utf8] [--out FILE]\n"
    "T: \"YYYY-MM-DD[ hh:mm[:ss]]\" (本地时间) 或 -90s -30m -2h -7d\n"
    "退出码: 0 完成; 1 无法写出; 2 未执行; 3 已导出, 但跳过了无法解码的数据块 (见标准错误输出)\n";

constexpr int kSkippedDamaged = 3;

// A time option, or why it cannot be one.
bool TimeOption(const std::string &text, int64_t now, int64_t *utcMs, std::string *why)
{
    bool outOfRange = false;
    if (ParseHistoryTime(text, now, utcMs, &outOfRange))
        return true;
    *why = outOfRange ? "时间超出范围 " + text + "（历史数据最早从 1970-01-01 起）" : "无法识别的时间 " + text;
    return false;
}

bool ParseAddress(const std::string &text, int32_t *out)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = int32_t(std::stol(text));
    return *out > 0;
}

// The machine names of the station in `folder`. A station.toml that cannot
// be read costs only the names: its messages go to stderr.
std::map<int32_t, std::string> MachineNames(const std::string &folder, HistoryReader &reader)
{
    std::map<int32_t, std::string> names = reader.AlarmNames();
    std::vector<std::string> messages;
    const StationSettings settings = LoadStationSettings(folder + "/" + kStationSettingsFileName, &messages);
    for (const std::string &m : messages)
        std::fprintf(stderr, "tavenor-history: %s\n", m.c_str());
    for (const auto &[address, machine] : settings.sensors)
        if (!machine.name.empty())
            names[address] = machine.name;
    return names;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Fail(std::string("缺少命令\n") + kUsage);
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command != "list" && command != "export" && command != "events" && command != "alarms")
        return Fail("未知的命令 " + command);

    std::map<std::string, std::string> options;
    bool utf8 = false;
    std::string error;
    if (!ReadExportOptions(argc, argv, 2, {"--folder", "--address", "--from", "--to", "--resolution", "--out"},
                           &options, command == "list" ? nullptr : &utf8, &error))
        return Fail(error);
    if (command == "list") {
        for (const auto &[name, value] : options)
            if (name != "--folder")
                return Fail("list 不接受选项 " + name);
    }

    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    int64_t to = now;
    int64_t from = now - 3'600'000;
    std::string why;
    if (options.count("--to") && !TimeOption(options["--to"], now, &to, &why))
        return Fail(why);
    if (options.count("--from")) {
        if (!TimeOption(options["--from"], now, &from, &why))
            return Fail(why);
    } else {
        from = to - 3'600'000;
    }
    if (from > to)
        return Fail("起始时间晚于结束时间");
    int32_t address = 0;
    if (options.count("--address") && !ParseAddress(options["--address"], &address))
        return Fail("无效的传感器地址 " + options["--address"]);
    if (command == "export" && address == 0)
        return Fail("export 需要 --address");
    if ((command == "list" || command == "alarms") && options.count("--resolution"))
        return Fail(command + " 不接受选项 --resolution");

    const std::string folder = options.count("--folder") ? options["--folder"] : ".";
    HistoryReader reader;
    if (!reader.Open(folder + "/data/" + kHistoryFileName, &error))
        return Fail(error);

    if (command == "list") {
        const std::map<int32_t, std::string> names = MachineNames(folder, reader);
        for (const HistorySensorSummary &s : reader.Sensors()) {
            char first[24], last[24];
            FormatHistoryTime(s.firstUtcMs, first);
            FormatHistoryTime(s.lastUtcMs, last);
            // The name in quotes beside the address, so that a name with
            // spaces still leaves the fields countable.
            const auto name = names.find(s.address);
            const std::string named = name == names.end() ? "" : " \"" + name->second + "\"";
            std::printf("%d%s %.23s %.23s raw=%lld minute=%lld hour=%lld\n", int(s.address), named.c_str(), first, last,
                        static_cast<long long>(s.entries[0]), static_cast<long long>(s.entries[1]),
                        static_cast<long long>(s.entries[2]));
        }
        return 0;
    }

    if (address != 0 && command == "alarms") {
        std::vector<int32_t> known;
        reader.AlarmAddresses(&known);
        if (std::find(known.begin(), known.end(), address) == known.end() && !reader.HasSensor(address))
            return Fail("历史数据中没有传感器地址 " + std::to_string(address));
    } else if (address != 0 && !reader.HasSensor(address))
        return Fail("历史数据中没有传感器地址 " + std::to_string(address));

    int fd = STDOUT_FILENO;
    if (options.count("--out")) {
        fd = ::open(options["--out"].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            return Fail("无法创建文件 " + options["--out"] + "：" + std::strerror(errno));
    }
    int err = 0;
    size_t skipped = 0;
    if (command == "events") {
        std::vector<HistoryEvent> events;
        if (!reader.Events(address, from, to, &events))
            return Fail("读取历史数据库失败");
        err = WriteHistoryEventsCsv(fd, events, utf8);
    } else if (command == "alarms") {
        AlarmLogFilter filter;
        filter.address = address;
        filter.fromUtcMs = from;
        filter.toUtcMs = to;
        std::vector<AlarmEvent> alarms;
        if (!reader.AlarmEvents(filter, &alarms))
            return Fail("读取历史数据库失败");
        err = WriteAlarmLogCsv(fd, alarms, utf8);
    } else {
        HistoryResolution resolution;
        const std::string r = options.count("--resolution") ? options["--resolution"] : "auto";
        if (!ParseHistoryResolution(r, from, to, &resolution))
            return Fail("无效的分辨率 " + r);
        HistorySeries series;
        if (!reader.Read(address, from, to, resolution, &series))
            return Fail("读取历史数据库失败");
        // The rest is exported; what is missing is named, and the status says so.
        for (const HistoryDamagedBlock &block : series.damaged)
            std::fprintf(stderr, "tavenor-history: 数据块无法解码，已跳过：%s\n", HistoryDamageText(block).c_str());
        skipped = series.damaged.size();
        err = WriteHistoryCsv(fd, series, utf8);
    }
    if (err != 0 || (fd != STDOUT_FILENO && ::close(fd) != 0)) {
        std::fprintf(stderr, "tavenor-history: 写入失败：%s\n", std::strerror(err ? err : errno));
        return 1;
    }
    return skipped ? kSkippedDamaged : 0;
}
