// libFuzzer target: any topic and payload a broker may hand the plant
// historian. The first byte picks the topic, the rest is the payload. A
// message is either refused or becomes rows whose COPY lines stay one line
// each: a stray newline or tab in a line would shift the columns of every row
// after it in the batch. The quick reader's answer must be the whole-document
// parser's, row for row.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "plant/ingest/Message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const char *const topics[] = {"status", "alarm", "sensor/17/steady", "sensor/17/state",
                                         "sensor/17/alarm", "sensor/x/steady", "other"};
    const std::string_view topic = topics[data[0] % (sizeof topics / sizeof *topics)];
    const std::string_view payload(reinterpret_cast<const char *>(data + 1), size - 1);
    const int64_t now = 1'796'860'800'000;  // 2026-12-10, a day after the seeds' times
    const tav::plant::ParseResult r =
        tav::plant::ParseMessage("st1", topic, payload, now, now, (data[0] & 0x80) != 0);
    const tav::plant::ParseResult whole =
        tav::plant::ParseMessageWhole("st1", topic, payload, now, now, (data[0] & 0x80) != 0);
    if (r.ok != whole.ok || r.why != whole.why || r.rows.size() != whole.rows.size())
        __builtin_trap();
    for (size_t i = 0; i < r.rows.size(); ++i) {
        const auto &a = r.rows[i], &b = whole.rows[i];
        if (a.copy != b.copy || a.utcMs != b.utcMs || a.address != b.address || a.name != b.name ||
            a.nameNull != b.nameNull || a.hasName != b.hasName || a.kind != b.kind)
            __builtin_trap();
    }
    // Columns of each kind's lines, as the first line of that kind had them.
    static long columns[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    if (r.ok)
        for (const auto &row : r.rows) {
            if (row.copy.empty())
                continue;
            if (row.copy.find('\n') != std::string::npos || row.copy.find('\r') != std::string::npos)
                __builtin_trap();
            long &expected = columns[static_cast<int>(row.kind) & 7];
            const long tabs = static_cast<long>(std::count(row.copy.begin(), row.copy.end(), '\t'));
            if (expected >= 0 && expected != tabs)
                __builtin_trap();
            expected = tabs;
        }
    std::string station, rest;
    tav::plant::SplitTopic({"tavenor/+"}, std::string_view(reinterpret_cast<const char *>(data), size), &station,
                           &rest);
    return 0;
}
