#pragma once
// The waterfall as CSV: "时间" (local time, "YYYY-MM-DD hh:mm:ss.mmm"), then
// one column per line headed by its frequency ("12.2070 Hz"), one line per
// row, oldest first, amplitudes in the signal's unit (g, mm/s or mm) with
// five significant digits. GBK with CR LF like the station's other CSV
// files. Written beside the target as "<path>.part" and renamed when
// complete, so a file under the final name is whole.
//
// Any thread; it waits on the disk, so windows call it on a thread of their
// own. The store is locked only while a few rows are copied out.
#include <string>

#include "core/analysis/WaterfallStore.h"

namespace tav::analysis {

// The header line, CR LF included, in GBK.
std::string WaterfallCsvHeader(const WaterfallSignal &signal);

// Writes the rows kept when it starts (rows that leave the ring before
// they are reached are left out). Returns an empty string, or what failed.
std::string WriteWaterfallCsv(const WaterfallStore &store, const std::string &path);

}  // namespace tav::analysis
