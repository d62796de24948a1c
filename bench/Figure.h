#pragma once
// One machine-readable figure line per measured result:
//   FIGURE name|value|unit|goal
// tools/run-benchmarks gathers them into the table printed at the end of
// `make bench`. A benchmark that runs more than once prints the line again;
// the last one counts.
#include <cstdio>

namespace tav::bench {

inline void PrintFigure(const char *name, double value, const char *unit, const char *goal)
{
    std::printf("FIGURE %s|%.4g|%s|%s\n", name, value, unit, goal);
    std::fflush(stdout);
}

}  // namespace tav::bench
