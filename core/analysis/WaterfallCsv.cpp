#include "core/analysis/WaterfallCsv.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/base/TextInput.h"
#include "core/history/HistoryCsv.h"

namespace tav::analysis {

namespace {

constexpr size_t kFlushBytes = 1 << 20;
constexpr uint64_t kRowsPerCopy = 16;

int WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

std::string Failure(const std::string &what, int err) { return what + ": " + std::strerror(err); }

}  // namespace

std::string WaterfallCsvHeader(const WaterfallSignal &signal)
{
    std::string header = Utf8ToGbk("时间");
    char cell[48];
    for (int k = 0; k < signal.lines; ++k) {
        std::snprintf(cell, sizeof cell, ",%.4f Hz", k * signal.df);
        header += cell;
    }
    return header + "\r\n";
}

std::string WriteWaterfallCsv(const WaterfallStore &store, const std::string &path)
{
    WaterfallSignal signal;
    uint64_t row = 0, end = 0;
    {
        auto lock = store.Lock();
        signal = store.Signal();
        row = store.First();
        end = store.Next();
    }
    const std::string temp = path + ".part";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return Failure(temp, errno);
    const size_t lines = static_cast<size_t>(std::max(signal.lines, 0));
    // Each value takes at most 12 characters ("-1.2345e-123") and its comma.
    const size_t maxLine = 24 + lines * 13 + 2;
    std::string buffer = WaterfallCsvHeader(signal);
    buffer.reserve(kFlushBytes + kRowsPerCopy * maxLine);
    std::vector<uint16_t> codes(kRowsPerCopy * lines);
    std::vector<double> times(kRowsPerCopy);
    int err = 0;
    while (row < end && err == 0) {
        uint64_t got = 0;
        {
            auto lock = store.Lock();
            if (!(store.Signal() == signal))
                break;  // laid out afresh for another signal: the rest is gone
            row = std::max(row, store.First());
            for (; got < kRowsPerCopy && row + got < end && row + got < store.Next(); ++got) {
                std::copy_n(store.Codes(row + got), lines, codes.begin() + static_cast<ptrdiff_t>(got * lines));
                times[got] = store.Time(row + got);
            }
        }
        if (got == 0)
            break;
        for (uint64_t r = 0; r < got; ++r) {
            const size_t at = buffer.size();
            buffer.resize(at + maxLine);
            char *p = buffer.data() + at;
            char *const limit = p + maxLine;
            FormatHistoryTime(static_cast<int64_t>(times[r] * 1000.0 + 0.5), p);
            p += 23;
            const uint16_t *c = codes.data() + r * lines;
            for (size_t k = 0; k < lines; ++k) {
                *p++ = ',';
                p = std::to_chars(p, limit, WaterfallStore::Decode(c[k]), std::chars_format::general, 5).ptr;
            }
            *p++ = '\r';
            *p++ = '\n';
            buffer.resize(static_cast<size_t>(p - buffer.data()));
        }
        row += got;
        if (buffer.size() >= kFlushBytes) {
            err = WriteAll(fd, buffer.data(), buffer.size());
            buffer.clear();
        }
    }
    if (err == 0)
        err = WriteAll(fd, buffer.data(), buffer.size());
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return Failure(path, err);
    }
    return {};
}

}  // namespace tav::analysis
