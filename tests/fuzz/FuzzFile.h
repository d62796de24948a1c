#pragma once
// The loaders under fuzzing read files by path: each input is written to a
// file of this process's own, rewritten for every run.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace tav::fuzz {

inline std::string FuzzFilePath(const char *name)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/tavenor-fuzz-" + std::to_string(::getpid()) + "-" + name;
}

// Replaces the file's contents with the input; false when it cannot.
inline bool WriteFuzzFile(const std::string &path, const uint8_t *data, size_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    ::close(fd);
    return done == size;
}

}  // namespace tav::fuzz
