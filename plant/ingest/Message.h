#pragma once
// What one broker message becomes: rows for the historian, each with its
// line of COPY text ready, or a refusal with its reason. Nothing here trusts
// the sender: sizes, nesting, types and ranges are checked before a value is
// kept, and a message with one bad value is refused whole.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plant/ingest/CopyText.h"

namespace tav::plant {

enum class RowKind { kSteady, kAlarmEvent, kConnectionState, kStationState, kSensorInfo };

struct Row {
    RowKind kind = RowKind::kSteady;
    std::string station;
    int32_t address = -1;  // -1: the station itself
    int64_t utcMs = 0;     // the row's time (the tick, the event, the state's start)
    std::string copy;      // one COPY text line for the kind's table, no newline; empty: none
    // What the sensor and station tables take from the row.
    bool hasName = false;  // the message says the sensor's name (null or text)
    bool nameNull = true;
    std::string name;
    std::string limits;  // JSON object "quantity.axis.severity": limit, or empty
    std::string alarms;  // the sensor's current alarm list (JSON array), or empty
    std::string state;   // station: "online" / "offline"
};

// Largest payload taken; the station's largest (a steady message with every
// band, a long alarm list) stays far below it.
constexpr size_t kMaxPayloadBytes = 256 * 1024;

struct ParseResult {
    bool ok = false;
    bool ignored = false;  // a topic of the station the historian does not keep
    std::string why;       // refusal reason, Chinese
    std::vector<Row> rows;
};

// `topic` relative to the station: "status", "alarm", "sensor/<n>/steady",
// "sensor/<n>/state" or "sensor/<n>/alarm". `nowMs` bounds the times taken
// (a time a day ahead of the service's clock is refused). `retained`: the
// broker's stored copy, sent again at every subscribe.
ParseResult ParseMessage(std::string_view station, std::string_view topic, std::string_view payload,
                         int64_t receivedMs, int64_t nowMs, bool retained = false);
// The same through the whole-document parser alone, which ParseMessage
// leaves for all but the plain steady messages: what the quick reader's
// answers must equal.
ParseResult ParseMessageWhole(std::string_view station, std::string_view topic, std::string_view payload,
                              int64_t receivedMs, int64_t nowMs, bool retained = false);

// Splits a full topic by the followed prefixes ("tavenor/+"): the station id
// (the prefix's last level as it arrived) and the rest. False when no prefix
// matches or the id is not a plain, short, printable name.
bool SplitTopic(const std::vector<std::string> &prefixes, std::string_view topic, std::string *station,
                std::string *rest);

}  // namespace tav::plant

namespace tav::plant {

// The per-axis parameters of a steady message, in its order, and the series
// the minute and hour aggregates keep (min, max, mean each).
inline constexpr const char *kAxisParams[7] = {"ar", "ap", "ak", "vr", "vp", "dr", "dp"};
inline constexpr const char *kAxisNames[3] = {"x", "y", "z"};
// Column names of the steady table in COPY order, with their SQL types.
std::vector<std::pair<std::string, std::string>> SteadyColumns();
// The aggregated series: temperature, rpm, every axis parameter and iso_v.
std::vector<std::string> AggregateSeries();

}  // namespace tav::plant
