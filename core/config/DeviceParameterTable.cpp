#include "core/config/DeviceParameterTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/net/ConnectionTable.h"

namespace tav {

const char *const kWorkModeNames[kWorkModeCount] = {"未定义", "工频", "变频"};

namespace {

uint32_t GetU32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutU32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

std::string Errno(const char *what, int err) { return std::string(what) + "：" + std::strerror(err); }

std::string FolderOf(const std::string &path)
{
    auto pos = path.rfind('/');
    if (pos == std::string::npos)
        return ".";
    return pos == 0 ? "/" : path.substr(0, pos);
}

}  // namespace

DeviceParameterRecord DeviceParameterTable::Record(int index) const
{
    const uint8_t *p = image_ + index * kRecordSize;
    DeviceParameterRecord r;
    r.sensorAddress = GetU32(p);
    r.reserved = GetU32(p + 4);
    r.workMode = int32_t(GetU32(p + 8));
    r.ratedSpeed = int32_t(GetU32(p + 12));
    return r;
}

void DeviceParameterTable::SetRecord(int index, const DeviceParameterRecord &r)
{
    uint8_t *p = image_ + index * kRecordSize;
    PutU32(p, r.sensorAddress);
    PutU32(p + 4, r.reserved);
    PutU32(p + 8, uint32_t(r.workMode));
    PutU32(p + 12, uint32_t(r.ratedSpeed));
}

void DeviceParameterTable::Clear() { std::memset(image_, 0, sizeof image_); }

bool DeviceParameterTable::LoadDeviceParameters(const std::string &path, bool clearFirst, std::string *error)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (error)
            *error = Errno(("无法打开设备参数文件 " + path).c_str(), errno);
        return false;
    }
    // Read into a scratch image first, so that a read error leaves the table
    // as it was rather than half replaced.
    uint8_t scratch[kImageSize];
    std::memcpy(scratch, image_, sizeof scratch);
    if (clearFirst)
        std::memset(scratch, 0, sizeof scratch);
    size_t got = 0;
    while (got < sizeof scratch) {
        ssize_t n = ::read(fd, scratch + got, sizeof scratch - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            if (error)
                *error = Errno(("无法读取设备参数文件 " + path).c_str(), err);
            return false;
        }
        if (n == 0)
            break;
        got += size_t(n);
    }
    ::close(fd);
    std::memcpy(image_, scratch, sizeof image_);
    return true;
}

int DeviceParameterTable::FindDeviceRecord(uint32_t sensorAddress) const
{
    for (int i = 0; i < kRecordCount; ++i)
        if (Record(i).sensorAddress == sensorAddress)
            return i;
    for (int i = 0; i < kRecordCount; ++i)
        if (Record(i).sensorAddress == 0)
            return i;
    return -1;
}

int DeviceParameterTable::SaveDeviceRecord(const std::string &path, uint32_t sensorAddress, int32_t workMode,
                                           int32_t ratedSpeed, std::string *error)
{
    // Address 0 marks a free record; a record saved under it would be taken
    // by the next sensor and would match every sensor not yet identified.
    if (sensorAddress == 0) {
        if (error)
            *error = "传感器地址未知（尚未收到该传感器的数据），设备参数未保存";
        return -1;
    }
    int index = FindDeviceRecord(sensorAddress);
    if (index < 0) {
        if (error)
            *error = "设备参数表已满（已有100个其他传感器的记录），设备参数未保存";
        return -1;
    }
    DeviceParameterTable next = *this;
    DeviceParameterRecord r = next.Record(index);
    r.sensorAddress = sensorAddress;
    r.workMode = workMode;
    r.ratedSpeed = ratedSpeed;
    next.SetRecord(index, r);
    std::string why;
    if (!WriteFileDurably(path, next.image_, sizeof next.image_, &why)) {
        if (error)
            *error = "设备参数保存失败，设置未生效：" + why;
        return -1;
    }
    std::memcpy(image_, next.image_, sizeof image_);
    return index;
}

void DeviceParameterTable::ApplyDeviceParameters(ConnectionRecord &c) const
{
    uint32_t address = c.sensorAddress.load();
    // Free records carry address 0; a sensor not yet identified has no record.
    if (address == 0)
        return;
    for (int i = 0; i < kRecordCount; ++i) {
        DeviceParameterRecord r = Record(i);
        if (r.sensorAddress != address)
            continue;
        if (r.workMode != kWorkModeFixedSpeed && r.workMode != kWorkModeVariableSpeed)
            continue;
        // Single-precision speed and frequency, double-precision band factors,
        // each result stored as a float.
        float speed = float(r.ratedSpeed);
        float frequency = speed / 60.0f;
        float upper = float(frequency * 1.1);
        float lower = float(frequency * (r.workMode == kWorkModeFixedSpeed ? 0.9 : 0.6));
        c.ratedSpeed.store(speed);
        c.ratedFrequency.store(frequency);
        c.upperSearchLimit.store(upper);
        c.lowerSearchLimit.store(lower);
        c.speedFromRecord.store(1);
    }
}

bool WriteFileDurably(const std::string &path, const uint8_t *data, size_t size, std::string *error)
{
    std::string folder = FolderOf(path);
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        if (error)
            *error = Errno(("无法在 " + folder + " 中创建临时文件").c_str(), errno);
        return false;
    }
    auto fail = [&](const char *what, int err) {
        ::close(fd);
        ::unlink(temp.c_str());
        if (error)
            *error = Errno(what, err);
        return false;
    };
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail("写入失败", errno);
        done += size_t(n);
    }
    // mkstemp creates 0600; the table is an ordinary file of the station.
    ::fchmod(fd, 0644);
    if (::fsync(fd) != 0)
        return fail("写入磁盘失败", errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        if (error)
            *error = Errno("写入失败", err);
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        if (error)
            *error = Errno(("无法替换 " + path).c_str(), err);
        return false;
    }
    // The rename itself must reach the disk too.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace tav
