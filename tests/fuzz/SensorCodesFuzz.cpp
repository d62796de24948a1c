// libFuzzer target: sensorcodes.conf of any content.
#include <cstdint>

#include "core/config/SensorCodes.h"
#include "tests/fuzz/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static tav::fuzz::FuzzFile *file = new tav::fuzz::FuzzFile("sensorcodes.conf");
    static const std::string path = file->Path();
    if (!file->Write(data, size))
        return 0;
    std::string warning;
    tav::SensorCodes codes = tav::LoadSensorCodes(path, &warning);
    (void)codes;
    return 0;
}
