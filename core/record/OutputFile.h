#pragma once
// An output file that appears under its final name only when it is complete:
// it is written under a temporary name next to it and renamed at Commit,
// never replacing a file that exists. Abandoned files are removed.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tav {

// Writes all `bytes` to `fd`, continuing short writes. Returns 0 or errno.
int WriteAllBytes(int fd, const void *data, size_t bytes);

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile();  // removes the temporary file unless committed

    // Creates the temporary file for `finalPath`. Returns 0 or an errno.
    int Open(const std::string &finalPath);
    int Fd() const { return fd_; }
    // Writes all bytes. Returns 0 or an errno.
    int Write(const uint8_t *data, size_t bytes);
    // Closes the file and gives it its final name. Returns 0 or an errno
    // (EEXIST when a file of that name appeared meanwhile).
    int Commit();
    // Closes and removes the temporary file.
    void Abandon();

    const std::string &FinalPath() const { return finalPath_; }

private:
    std::string finalPath_;
    std::string tempPath_;
    int fd_ = -1;
};

// True when a file (or anything else) exists at `path`.
bool PathExists(const std::string &path);

}  // namespace tav
