#pragma once
// Times and text as the service reads them from the stations and hands
// them to PostgreSQL's COPY.
#include <cstdint>
#include <string>
#include <string_view>

namespace tav::plant {

// UTC milliseconds of "2026-12-09T06:15:30.500Z" (fraction optional); false
// for anything else.
bool ParseIsoUtc(std::string_view text, int64_t *utcMs);
// "2026-12-09 06:15:30.500+00", as PostgreSQL reads a timestamptz.
std::string SqlTime(int64_t utcMs);
// Appends `text` escaped for COPY's text format.
void AppendCopyText(std::string *out, std::string_view text);

}  // namespace tav::plant
