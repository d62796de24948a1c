#include "plant/main/PlantTool.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/base/TextInput.h"
#include "core/history/HistoryCsv.h"
#include "core/history/HistoryReader.h"
#include "core/model/AlarmTypes.h"
#include "core/record/CsvExport.h"
#include "plant/config/PlantConfig.h"
#include "plant/ingest/Message.h"
#include "plant/store/Writer.h"

namespace tav::plant {

namespace {

int Fail(const std::string &text)
{
    std::fprintf(stderr, "tavenor-plant: %s\n", text.c_str());
    return 2;
}

void AppendField(std::string *line, const std::string &field)
{
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        *line += field;
        return;
    }
    *line += '"';
    for (char c : field) {
        if (c == '"')
            *line += '"';
        *line += c;
    }
    *line += '"';
}

// A stored number as the station's CSV files write it (%g); NULL is empty.
void AppendValue(std::string *line, const char *text, bool isNull)
{
    if (isNull)
        return;
    char out[kMaxGChars];
    *line += std::string(out, size_t(FormatG(out, double(std::strtof(text, nullptr))) - out));
}

const char *SeverityFromKey(const std::string &key)
{
    static const std::map<std::string, AlarmSeverity> kKeys = {
        {"alert", AlarmSeverity::kAlert}, {"danger", AlarmSeverity::kDanger}, {"offline", AlarmSeverity::kOffline},
        {"sensor_fault", AlarmSeverity::kSensorFault}, {"change", AlarmSeverity::kChange}};
    const auto it = kKeys.find(key);
    return it == kKeys.end() ? key.c_str() : SeverityText(it->second);
}

class Output {
public:
    Output(int fd, bool utf8) : fd_(fd), utf8_(utf8) {}
    // Sends `text` once enough has gathered, or at once with `force`; errno on failure.
    int Put(std::string *text, bool force)
    {
        if (!force && text->size() < (1 << 16))
            return 0;
        // GBK keeps ASCII as it is: most of a month's numbers need no converter.
        const bool ascii = std::all_of(text->begin(), text->end(), [](char c) { return (unsigned char)c < 0x80; });
        const std::string out = utf8_ || ascii ? *text : Utf8ToGbk(*text);
        text->clear();
        const char *p = out.data();
        size_t left = out.size();
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errno;
            p += n;
            left -= size_t(n);
        }
        return 0;
    }

private:
    int fd_;
    bool utf8_;
};

}  // namespace

int RunPlantTool(int argc, char **argv)
{
    const std::string command = argv[0];
    std::map<std::string, std::string> options;
    bool utf8 = false;
    std::string error;
    if (!ReadExportOptions(argc, argv, 1,
                           {"--config", "--station", "--address", "--from", "--to", "--resolution", "--out"}, &options,
                           &utf8, &error))
        return Fail(error);
    const int64_t now = NowUtcMs();
    int64_t to = now, from = 0;
    bool outOfRange = false;
    if (options.count("--to") && !ParseHistoryTime(options["--to"], now, &to, &outOfRange))
        return Fail("无法识别的时间 " + options["--to"]);
    from = to - 3'600'000;
    if (options.count("--from") && !ParseHistoryTime(options["--from"], now, &from, &outOfRange))
        return Fail("无法识别的时间 " + options["--from"]);
    if (from > to)
        return Fail("起始时间晚于结束时间");
    int address = -1;
    if (options.count("--address")) {
        const std::string &a = options["--address"];
        if (a.empty() || a.size() > 9 || a.find_first_not_of("0123456789") != std::string::npos)
            return Fail("无效的传感器地址 " + a);
        address = std::stoi(a);
    }
    if (command == "export" && address < 0)
        return Fail("export 需要 --address");
    if (command == "alarms" && options.count("--resolution"))
        return Fail("alarms 不接受选项 --resolution");
    HistoryResolution resolution;
    const std::string r = options.count("--resolution") ? options["--resolution"] : "auto";
    if (!ParseHistoryResolution(r, from, to, &resolution))
        return Fail("无效的分辨率 " + r);

    std::string configPath = options.count("--config") ? options["--config"] : "";
    if (configPath.empty())
        configPath = std::filesystem::exists("plant.toml") ? "plant.toml" : "/etc/tavenor/plant.toml";
    PlantConfig config;
    std::vector<std::string> messages;
    const bool configOk = ReadPlantConfig(configPath, &config, &messages);
    if (!configOk)
        for (const std::string &m : messages)
            std::fprintf(stderr, "tavenor-plant: %s\n", m.c_str());
    PGconn *conn = PQconnectdb(config.database.conninfo.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string why = PQerrorMessage(conn);
        PQfinish(conn);
        return Fail("无法连接数据库：" + why);
    }
    PQclear(PQexec(conn, "set time zone 'UTC'"));

    const std::string station = options.count("--station") ? options["--station"] : "";
    const std::string addressText = std::to_string(address), fromText = SqlTime(from), toText = SqlTime(to);
    const char *params[4] = {station.empty() ? nullptr : station.c_str(), address < 0 ? nullptr : addressText.c_str(),
                             fromText.c_str(), toText.c_str()};
    const std::string where = " where ($1::text is null or station = $1) and ($2::integer is null or address = $2)"
                              " and time >= $3::timestamptz and time <= $4::timestamptz";
    if (address >= 0) {
        const char *check = command == "export"
                                ? "select 1 from sensors where ($1::text is null or station = $1) and address = $2"
                                : "select 1 from sensors where ($1::text is null or station = $1) and address = $2"
                                  " union all select 1 from alarm_events where ($1::text is null or station = $1)"
                                  " and address = $2 limit 1";
        PGresult *res = PQexecParams(conn, check, 2, nullptr, params, nullptr, nullptr, 0);
        const bool known = PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) > 0;
        PQclear(res);
        if (!known) {
            PQfinish(conn);
            return Fail("数据库中没有传感器地址 " + addressText);
        }
    }

    std::string sql, text;
    if (command == "export") {
        static const char *const kAxes[3] = {"x", "y", "z"};
        static const char *const kParams[7] = {"ar", "ap", "ak", "vr", "vp", "dr", "dp"};
        std::vector<std::string> series;
        for (const char *a : kAxes)
            for (const char *p : kParams)
                series.push_back(std::string(a) + "_" + p);
        series.push_back("rpm");
        std::string cols;
        for (const std::string &s : series)
            cols += resolution == HistoryResolution::kRaw ? ", " + s : ", " + s + "_min, " + s + "_mean, " + s + "_max";
        const char *table = resolution == HistoryResolution::kRaw      ? "steady"
                            : resolution == HistoryResolution::kMinute ? "steady_minute"
                                                                       : "steady_hour";
        sql = "select station, (extract(epoch from time) * 1000)::bigint" + cols + " from " + table + where +
              " order by station, time";
        text = "站点,";
        const std::string header = HistoryCsvHeader(resolution, true);
        text += header;
    } else {
        sql = "select station, (extract(epoch from time) * 1000)::bigint, address, name, axis, quantity_text, value,"
              " limit_value, severity, event_text, comment from alarm_events" + where + " order by time, station";
        text = std::string("站点,") + kAlarmLogCsvHeader + "\r\n";
    }

    int fd = STDOUT_FILENO;
    if (options.count("--out")) {
        fd = ::open(options["--out"].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            PQfinish(conn);
            return Fail("无法创建文件 " + options["--out"] + "：" + std::strerror(errno));
        }
    }
    Output out(fd, utf8);
    int err = 0;
    // Row by row: a year of minutes never has to fit in memory at once.
    bool readOk = PQsendQueryParams(conn, sql.c_str(), 4, nullptr, params, nullptr, nullptr, 0) == 1 &&
                  PQsetSingleRowMode(conn) == 1;
    while (PGresult *res = readOk ? PQgetResult(conn) : nullptr) {
        const ExecStatusType status = PQresultStatus(res);
        if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK)
            readOk = false;
        for (int i = 0; status == PGRES_SINGLE_TUPLE && i < PQntuples(res); ++i) {
            AppendField(&text, PQgetvalue(res, i, 0));
            char when[24];
            FormatHistoryTime(std::atoll(PQgetvalue(res, i, 1)), when);
            text += ',';
            text.append(when, 23);
            if (command == "export") {
                for (int c = 2; c < PQnfields(res); ++c) {
                    text += ',';
                    AppendValue(&text, PQgetvalue(res, i, c), PQgetisnull(res, i, c));
                }
            } else {
                const std::string axis = PQgetvalue(res, i, 4);
                text += std::string(",") + PQgetvalue(res, i, 2) + ",";
                AppendField(&text, PQgetvalue(res, i, 3));
                text += std::string(",") + AxisText(axis == "x" ? 0 : axis == "y" ? 1 : axis == "z" ? 2 : kNoAxis) + ",";
                AppendField(&text, PQgetvalue(res, i, 5));
                text += ',';
                AppendValue(&text, PQgetvalue(res, i, 6), PQgetisnull(res, i, 6));
                text += ',';
                AppendValue(&text, PQgetvalue(res, i, 7), PQgetisnull(res, i, 7));
                text += std::string(",") + SeverityFromKey(PQgetvalue(res, i, 8)) + ",";
                AppendField(&text, PQgetvalue(res, i, 9));
                text += ',';
                AppendField(&text, PQgetvalue(res, i, 10));
            }
            text += "\r\n";
        }
        PQclear(res);
        if (!err)
            err = out.Put(&text, false);
    }
    if (!readOk) {
        const std::string why = PQerrorMessage(conn);
        PQfinish(conn);
        return Fail("读取数据库失败：" + why);
    }
    PQfinish(conn);
    if (!err)
        err = out.Put(&text, true);
    if (err != 0 || (fd != STDOUT_FILENO && ::close(fd) != 0)) {
        std::fprintf(stderr, "tavenor-plant: 写入失败：%s\n", std::strerror(err ? err : errno));
        return 1;
    }
    return 0;
}

}  // namespace tav::plant
