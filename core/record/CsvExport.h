#pragma once
// Transient CSV export: one line per sample of a recording, X, Y, Z in g and
// the packet's sampling frequency, GBK text with CR LF line ends.
#include <cstdint>
#include <functional>
#include <string>

namespace tav {

// Longest text FormatG produces ("-1.17549e-38").
constexpr int kMaxGChars = 16;

// Writes `v`, widened to double, exactly as printf("%g") prints it, and
// returns the end of the text (not terminated). `out` needs kMaxGChars.
char *FormatG(char *out, double v);

// The header line in GBK, CR LF included.
const std::string &TransientCsvHeader();

// Called now and then with the packets written so far and the total.
using CsvProgressFn = std::function<void(uint32_t done, uint32_t total)>;

// Writes the header and one line per sample of the whole packets in
// data[0, length) to `fd`; a trailing partial packet is not exported.
// Any thread. Returns 0, or the errno of the failed write.
int WriteTransientCsv(int fd, const uint8_t *data, uint32_t length, const CsvProgressFn &progress = {});

}  // namespace tav
