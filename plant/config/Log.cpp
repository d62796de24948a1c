#include "plant/config/Log.h"

#include <cstdio>
#include <mutex>

namespace tav::plant {

void Log(const std::string &line)
{
    // One event, one line: the database's messages come with line breaks.
    std::string flat;
    for (char c : line) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
        if (c != ' ' || flat.empty() || flat.back() != ' ')
            flat += c;
    }
    static std::mutex logMutex;
    std::lock_guard<std::mutex> lock(logMutex);
    std::fprintf(stderr, "tavenor-plant: %s\n", flat.c_str());
    std::fflush(stderr);
}

}  // namespace tav::plant
