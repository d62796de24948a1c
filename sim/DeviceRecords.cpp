#include "sim/DeviceRecords.h"

#include <cmath>

#include "core/config/DeviceParameterTable.h"

namespace tav::sim {

bool WriteDeviceRecords(const FleetConfig &fleet, const std::string &path, std::string *error)
{
    DeviceParameterTable table;
    if (!table.LoadDeviceParameters(path, true, error))
        return false;
    for (const SensorConfig &sensor : fleet.Expand()) {
        if (sensor.kind != PeerKind::Sensor)
            continue;
        const auto rated = static_cast<int32_t>(std::lround(sensor.rpm));
        if (table.SaveDeviceRecord(path, sensor.address, kWorkModeFixedSpeed, rated, error) < 0)
            return false;
    }
    return true;
}

}  // namespace tav::sim
