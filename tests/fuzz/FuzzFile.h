#pragma once
// The loaders under fuzzing read files by path: each input goes into an
// in-memory file of this process (memfd), named by its /proc/self/fd path,
// so that a run costs no disk I/O.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace tav::fuzz {

class FuzzFile {
public:
    explicit FuzzFile(const char *name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {}
    ~FuzzFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }

    // Replaces the file's contents with the input; false when it cannot.
    bool Write(const uint8_t *data, size_t size)
    {
        if (fd_ < 0 || ::ftruncate(fd_, 0) != 0)
            return false;
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::pwrite(fd_, data + done, size - done, off_t(done));
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }

private:
    int fd_;
};

}  // namespace tav::fuzz
