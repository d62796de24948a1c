#pragma once
// One machine-readable figure line per measured result:
//   FIGURE name|value|unit|goal
// tools/run-benchmarks gathers them into the table printed at the end of
// `make bench`. A benchmark that runs more than once prints the line again;
// the last one counts.
#include <cstdio>
#include <ctime>

namespace tav::bench {

inline void PrintFigure(const char *name, double value, const char *unit, const char *goal)
{
    std::printf("FIGURE %s|%.4g|%s|%s\n", name, value, unit, goal);
    std::fflush(stdout);
}

// CPU seconds of the calling thread: figures of single-threaded work stay
// meaningful on a machine that other work also uses.
inline double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace tav::bench
