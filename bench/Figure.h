#pragma once
// One machine-readable figure line per measured result:
//   FIGURE name|value|unit|goal
// tools/run-benchmarks gathers them into the table printed at the end of
// `make bench`. A benchmark that runs more than once prints the line again;
// the last one counts.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

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

// The whole process's CPU seconds and context switches so far.
struct Usage {
    double cpu = 0;
    long switches = 0;
};

inline Usage ProcessUsage()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return {double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6,
            ru.ru_nvcsw + ru.ru_nivcsw};
}

// Resident memory of the process now, in MB.
inline double RssMb()
{
    long pages = 0, rss = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2)
            rss = 0;
        std::fclose(f);
    }
    return double(rss) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// What a tavenor-sim fleet says it sent, from the last count line of its
// output file; zeros when there is none.
struct SimSent {
    unsigned long long bytes = 0, packets = 0;
};

inline SimSent ReadSimSent(const std::string &outputPath)
{
    SimSent sent;
    if (FILE *f = std::fopen(outputPath.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, f))
            std::sscanf(line, "tavenor-sim: sent %llu bytes, %llu packets", &sent.bytes, &sent.packets);
        std::fclose(f);
    }
    return sent;
}

}  // namespace tav::bench
