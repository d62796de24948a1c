#include "plant/config/Log.h"

#include <cstdio>
#include <mutex>

namespace tav::plant {

void Log(const std::string &line)
{
    static std::mutex logMutex;
    std::lock_guard<std::mutex> lock(logMutex);
    std::fprintf(stderr, "tavenor-plant: %s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace tav::plant
