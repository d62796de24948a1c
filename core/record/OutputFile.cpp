#include "core/record/OutputFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tav {

OutputFile::~OutputFile() { Abandon(); }

int OutputFile::Open(const std::string &finalPath)
{
    Abandon();
    finalPath_ = finalPath;
    tempPath_ = finalPath + ".part";
    fd_ = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        int err = errno;
        tempPath_.clear();
        return err;
    }
    return 0;
}

int WriteAllBytes(int fd, const void *data, size_t bytes)
{
    const auto *p = static_cast<const uint8_t *>(data);
    while (bytes > 0) {
        ssize_t w = ::write(fd, p, bytes);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (w == 0)
            return EIO;
        p += w;
        bytes -= size_t(w);
    }
    return 0;
}

int OutputFile::Write(const uint8_t *data, size_t bytes) { return WriteAllBytes(fd_, data, bytes); }

int OutputFile::Commit()
{
    if (fd_ < 0)
        return EBADF;
    // A full disk may only show at close on some file systems.
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) {
        int err = errno;
        Abandon();
        return err;
    }
    if (::renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, finalPath_.c_str(), RENAME_NOREPLACE) != 0) {
        int err = errno;
        if (err == EINVAL || err == ENOSYS) {
            // File systems without the no-replace rename: a hard link also
            // refuses to replace an existing name.
            if (::link(tempPath_.c_str(), finalPath_.c_str()) == 0) {
                ::unlink(tempPath_.c_str());
                tempPath_.clear();
                return 0;
            }
            err = errno;
        }
        Abandon();
        return err;
    }
    tempPath_.clear();
    return 0;
}

void OutputFile::Abandon()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!tempPath_.empty())
        ::unlink(tempPath_.c_str());
    tempPath_.clear();
}

bool PathExists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace tav
