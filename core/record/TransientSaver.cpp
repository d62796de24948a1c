#include "core/record/TransientSaver.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/base/ThreadName.h"
#include "core/record/CsvExport.h"
#include "core/record/OutputFile.h"
#include "core/record/VdatFormat.h"

namespace tav {

std::string TransientBaseName(uint32_t address, const std::tm &when)
{
    char name[64];
    std::snprintf(name, sizeof name, "%.4u_%4d%.2d%.2d%.2d%.2d", address, when.tm_year + 1900, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min);
    return name;
}

TransientSaver::TransientSaver(EventSink &sink) : sink_(sink) {}

TransientSaver::~TransientSaver() { Join(); }

bool TransientSaver::Start(std::vector<SaveItem> items, const std::string &folder, const std::tm &when)
{
    if (saving_.exchange(true))
        return false;
    std::lock_guard lock(threadMutex_);
    // The previous save has cleared the flag as its last act; this only
    // collects its thread.
    if (thread_.joinable())
        thread_.join();
    try {
        thread_ = std::thread([this, items = std::move(items), folder, when]() mutable {
            NameThisThread("tav save");
            Run(std::move(items), folder, when);
        });
    } catch (const std::system_error &) {
        saving_ = false;
        return false;
    }
    return true;
}

void TransientSaver::Join()
{
    std::lock_guard lock(threadMutex_);
    if (thread_.joinable())
        thread_.join();
}

std::vector<std::string> TransientSaver::LastFiles() const
{
    std::lock_guard lock(filesMutex_);
    return lastFiles_;
}

std::string TransientSaver::FreeBase(const std::string &folder, const std::string &base,
                                     const std::vector<std::string> &taken) const
{
    // The .vdat and the .csv of one sensor keep one base name, so a name is
    // free only when neither exists (nor was chosen earlier in this save,
    // for a second sensor with the same address).
    for (int n = 1;; ++n) {
        std::string candidate = n == 1 ? base : base + "_" + std::to_string(n);
        std::string path = folder + "/" + candidate;
        bool used = PathExists(path + ".vdat") || PathExists(path + ".csv");
        for (const auto &t : taken)
            used = used || t == candidate;
        if (!used)
            return candidate;
    }
}

void TransientSaver::Run(std::vector<SaveItem> items, std::string folder, std::tm when)
{
    uint64_t totalPackets = 0;
    for (const auto &item : items)
        totalPackets += item.length / kPacketBytes + 1;  // +1: the .vdat write and an empty export count too
    uint64_t donePackets = 0;
    int lastPercent = -1;
    auto report = [&](uint64_t done) {
        int percent = totalPackets ? int(done * 100 / totalPackets) : 100;
        if (percent > 99)
            percent = 99;  // 100 is posted with the finished flag
        if (percent != lastPercent) {
            lastPercent = percent;
            sink_.Post(StationEvent::Make(kSaveProgressEvent, percent, 0));
        }
    };
    auto fail = [&](const std::string &path, int err) {
        char text[480];
        std::snprintf(text, sizeof text, "文件%s存储失败：%s", path.c_str(), std::strerror(err));
        sink_.Post(StationEvent::Text(kMessageEvent, text));
    };

    std::vector<std::string> taken;
    std::vector<std::string> written;
    int failures = 0;
    report(0);
    for (const auto &item : items) {
        std::string base = FreeBase(folder, TransientBaseName(item.address, when), taken);
        taken.push_back(base);
        std::string stem = folder + "/" + base;
        const uint8_t *data = item.buffer ? item.buffer->data : nullptr;
        uint32_t length = data ? item.length : 0;

        OutputFile vdat;
        int err = vdat.Open(stem + ".vdat");
        if (err == 0 && length > 0)
            err = vdat.Write(data, length);
        if (err == 0)
            err = vdat.Commit();
        if (err != 0) {
            fail(stem + ".vdat", err);
            ++failures;
        } else {
            written.push_back(stem + ".vdat");
        }
        report(++donePackets);

        OutputFile csv;
        err = csv.Open(stem + ".csv");
        const uint64_t before = donePackets;
        if (err == 0)
            err = WriteTransientCsv(csv.Fd(), data, length, [&](uint32_t done, uint32_t) { report(before + done); });
        if (err == 0)
            err = csv.Commit();
        if (err != 0) {
            fail(stem + ".csv", err);
            ++failures;
        } else {
            written.push_back(stem + ".csv");
        }
        donePackets = before + length / kPacketBytes;
        report(donePackets);
    }
    {
        std::lock_guard lock(filesMutex_);
        lastFiles_ = written;
    }
    char text[480];
    if (items.empty())
        std::snprintf(text, sizeof text, "没有已连接的传感器，未存储文件");
    else if (failures == 0)
        std::snprintf(text, sizeof text, "存储完成：%zu个传感器的数据已保存到%s", items.size(), folder.c_str());
    else
        std::snprintf(text, sizeof text, "存储结束，%d个文件存储失败", failures);
    sink_.Post(StationEvent::Make(kSaveProgressEvent, 100, 1));
    sink_.Post(StationEvent::Text(kMessageEvent, text));
    saving_ = false;
}

}  // namespace tav
