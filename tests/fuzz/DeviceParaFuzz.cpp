// libFuzzer target: devicepara.dat of any length and content, loaded as at
// start-up and as the dialog reloads it, then every record's speed band
// applied to a connection and every address looked up.
#include <cstdint>

#include "core/config/DeviceParameterTable.h"
#include "core/net/ConnectionTable.h"
#include "tests/fuzz/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static tav::ConnectionRecord *rec = new tav::ConnectionRecord;
    static tav::fuzz::FuzzFile *file = new tav::fuzz::FuzzFile("devicepara.dat");
    static const std::string path = file->Path();
    if (!file->Write(data, size))
        return 0;
    tav::DeviceParameterTable table;
    std::string error;
    table.LoadDeviceParameters(path, size == 0 || (data[0] & 1), &error);
    table.LoadDeviceParameters(path, false, &error);
    for (int i = 0; i < tav::DeviceParameterTable::kRecordCount; ++i) {
        const tav::DeviceParameterRecord r = table.Record(i);
        rec->sensorAddress = r.sensorAddress;
        table.ApplyDeviceParameters(*rec);
        const int found = table.FindDeviceRecord(r.sensorAddress);
        if (found < -1 || found >= tav::DeviceParameterTable::kRecordCount)
            __builtin_trap();
    }
    return 0;
}
