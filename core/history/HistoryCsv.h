#pragma once
// History as CSV text: the steady-state log's columns ("时间", the 21 axis
// values, "rpm"), the time as "YYYY-MM-DD hh:mm:ss.mmm" local time, and for
// aggregates three columns per value ("_min", "_mean", "_max"). GBK with
// CR LF like the station's other CSV files, or UTF-8.
//
// Any thread; the writers wait on the file, so windows call them on a worker.
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "core/history/HistoryReader.h"

namespace tav {

// The header line, line end included. With `slow` a slow machine's columns
// follow the steady ones: per axis its 2 Hz - 1 kHz velocity, its
// displacement and what decided its zone (1 velocity, 2 displacement).
std::string HistoryCsvHeader(HistoryResolution resolution, bool utf8, bool slow = false);
// Titles of those columns, in kSlowLayout's order.
std::string SlowColumnTitle(int series);

// Writes the header and one line per entry to `fd`. Returns 0 or the errno
// of the failed write.
int WriteHistoryCsv(int fd, const HistorySeries &series, bool utf8);

// Connection events: "时间,地址,事件,详情".
int WriteHistoryEventsCsv(int fd, const std::vector<HistoryEvent> &events, bool utf8);

// The alarm log: "时间,地址,设备名称,轴,参数,数值,限值,级别,事件,备注", one line
// per event in the order given; value and limit as stored (empty for none).
extern const char *const kAlarmLogCsvHeader;  // UTF-8, without the line end
int WriteAlarmLogCsv(int fd, const std::vector<AlarmEvent> &events, bool utf8);

// "YYYY-MM-DD hh:mm:ss.mmm" in local time; `out` holds 24 characters, not terminated.
void FormatHistoryTime(int64_t utcMs, char *out);

// A time argument: "YYYY-MM-DD[ hh:mm[:ss]]" local time, or relative to
// `nowUtcMs` as "-2h", "-30m", "-7d", "-90s". False when it is neither, or
// when it lies before 1970-01-01 UTC (*outOfRange then true: well formed,
// but no history can be there).
bool ParseHistoryTime(const std::string &text, int64_t nowUtcMs, int64_t *utcMs, bool *outOfRange = nullptr);

// The `--resolution` argument: "raw", "minute", "hour", or "auto" (the span
// from..to decides). False for anything else.
bool ParseHistoryResolution(const std::string &text, int64_t fromUtcMs, int64_t toUtcMs, HistoryResolution *out);

// "传感器 34，<first> 至 <last>（原始数据，120 条）": which entries a skipped run held.
std::string HistoryDamageText(const HistoryDamagedBlock &block);

// The export tools' options from argv[first..]: each of `valued` takes the
// next argument, "--utf8" (where `utf8` is given) none. False with the
// message for an unknown option or a missing value.
bool ReadExportOptions(int argc, char **argv, int first, std::initializer_list<const char *> valued,
                       std::map<std::string, std::string> *options, bool *utf8, std::string *error);

}  // namespace tav
