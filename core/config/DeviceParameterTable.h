#pragma once
// Work mode and rated speed per sensor address, persisted in devicepara.dat.
//
// The table is kept as its 1600-byte little-endian file image, so that a
// short file fills it from the start byte for byte and the reserved field of
// every record goes back to disk exactly as it was loaded.
//
// Thread rule: every member is called on the window thread only. The speed
// fields that ApplyDeviceParameters writes are atomics of the connection
// record, read by the processing thread.
#include <cstdint>
#include <string>

namespace tav {

struct ConnectionRecord;

// One 16-byte record. sensorAddress 0 marks a free record.
struct DeviceParameterRecord {
    uint32_t sensorAddress = 0;
    uint32_t reserved = 0;
    int32_t workMode = 0;    // index in the work-mode list, -1 = nothing chosen
    int32_t ratedSpeed = 0;  // rpm
};

// Work-mode list, in the order the list shows it: the stored value is the
// position, so the names and the values agree in the file.
constexpr int kWorkModeCount = 3;
extern const char *const kWorkModeNames[kWorkModeCount];  // "未定义", "工频", "变频"
constexpr int32_t kWorkModeUndefined = 0;
constexpr int32_t kWorkModeFixedSpeed = 1;     // narrow band 0.9 .. 1.1 x rated frequency
constexpr int32_t kWorkModeVariableSpeed = 2;  // wide band 0.6 .. 1.1

constexpr const char *kDeviceParameterFileName = "devicepara.dat";

class DeviceParameterTable {
public:
    static constexpr int kRecordCount = 100;
    static constexpr int kRecordSize = 16;
    static constexpr int kImageSize = kRecordCount * kRecordSize;  // 1600

    DeviceParameterRecord Record(int index) const;
    void SetRecord(int index, const DeviceParameterRecord &record);
    const uint8_t *Image() const { return image_; }
    void Clear();

    // Reads the file at `path` into the table, creating it with 0 bytes when
    // it is missing. At most the first 1600 bytes are read; a shorter file
    // leaves the rest of the table as it was. `clearFirst` empties the table
    // before reading (start-up); the dialog's reload does not. Returns false
    // with a message in *error when the file cannot be created or read; the
    // table then keeps what it held.
    bool LoadDeviceParameters(const std::string &path, bool clearFirst, std::string *error);

    // Index of the record of `sensorAddress`: the first with that address,
    // else the first free one; -1 when the table holds 100 other sensors.
    int FindDeviceRecord(uint32_t sensorAddress) const;

    // Stores work mode and rated speed for `sensorAddress` and writes the
    // whole table to `path` durably (temporary file beside it, flushed to
    // disk, renamed over the old file). The table in memory changes only when
    // the file was written. Refuses address 0, and a full table rather than
    // overwriting another sensor's record. Returns the record's index, or -1
    // with the operator's message in *error.
    int SaveDeviceRecord(const std::string &path, uint32_t sensorAddress, int32_t workMode, int32_t ratedSpeed,
                         std::string *error);

    // Sets the connection's rated speed, rated frequency and search band from
    // every record of its sensor address (a later record overrides an earlier
    // one). Work modes other than 1 and 2 leave the connection unchanged.
    void ApplyDeviceParameters(ConnectionRecord &connection) const;

private:
    uint8_t image_[kImageSize] = {};
};

// Writes `size` bytes to `path` through a temporary file in the same folder,
// flushed and renamed over `path`, so a crash or a full disk leaves either
// the old file or the new one. Returns false with a message in *error.
bool WriteFileDurably(const std::string &path, const uint8_t *data, size_t size, std::string *error);

}  // namespace tav
