#pragma once
// What the pages' queries share: running a statement on the pool, reading
// its cells, the request's parameters, CSV cells, the severities' ranks and
// the columns a limit's quantity is judged on.
#include <libpq-fe.h>

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plant/web/Queries.h"

namespace tav::plant::sql {

inline constexpr int64_t kHourMs = 3600000;
inline constexpr int64_t kDayMs = 24 * kHourMs;
// Without a steady row for this long a machine shows as offline.
inline constexpr int64_t kStaleMs = 5 * 60000;

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Runs `sql` with text parameters (null pointers are SQL NULL).
Answer Query(PgPool &pool, const std::string &sql, const std::vector<const char *> &params, Result *out);
// A cell as a finite number, else null.
nlohmann::json Number(const PGresult *r, int row, int col);
std::string Text(const PGresult *r, int row, int col);
// A request parameter, "" when absent.
std::string Get(const Params &p, const char *key);

std::string CsvField(const std::string &field);
std::string CsvTime(int64_t utcMs);
std::string CsvNumber(const nlohmann::json &v);
// Excel opens UTF-8 as such only with the byte order mark.
extern const char kBom[4];

// danger 4, alert 3, offline 2, sensor_fault 1, ok 0.
extern const std::map<std::string, int> kSeverityRank;
// "危险", "警告", ... for a severity key; "" for an unknown one.
const char *SeverityWord(const std::string &key);
// The steady column a limit's quantity is judged on, per axis.
extern const std::map<std::string, std::string> kQuantityColumn;

}  // namespace tav::plant::sql
