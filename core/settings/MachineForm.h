#pragma once
// The machine settings editor without its window: the operator's texts are
// checked and turned into a device record and a [sensor.N] table, the known
// sensor addresses are gathered from every source, and a save writes
// devicepara.dat and station.toml together or neither.
//
// Thread rule: window thread (it is the dialog's core); the save writes two
// small files on an explicit operator action.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/config/DeviceParameterTable.h"
#include "core/model/MachineSettings.h"

namespace tav {

// One row of the bearing table, as typed.
struct BearingFields {
    std::string name, elements, ballDiameterMm, pitchDiameterMm, contactAngleDeg;
    bool Empty() const;
    bool operator==(const BearingFields &) const = default;
};

// Everything the dialog edits for one sensor, as the controls hold it.
struct MachineFields {
    std::string address;     // "传感器地址"
    int workMode = -1;       // index in kWorkModeNames, -1 = nothing chosen
    std::string ratedSpeed;  // "额定转速", rpm
    std::string name;
    std::string isoClass = "none";  // the file's key: none, group1-rigid, ...
    std::string alert[kAlarmQuantityCount];   // empty = no limit
    std::string danger[kAlarmQuantityCount];
    std::string onDelayS;  // empty = the default delay
    std::string ratedRpm;  // the machine's rated speed for its judgement, rpm; empty = not given
    std::vector<BearingFields> bearings;
    // The baseline as stored: set by "设为基线" from the history, not typed.
    // Per axis in mm/s, empty = none; the times as the file keeps them.
    std::string baseline[3];
    std::string baselineSetAt, baselineFrom, baselineTo;
    bool operator==(const MachineFields &) const = default;
};

// The fields showing `record` and `machine` (either may be null: not set).
MachineFields FieldsOf(int32_t address, const DeviceParameterRecord *record, const MachineSettings *machine);

// The unit a quantity's limits are typed in ("mm/s", "g", ...; "" for ratios).
const char *LimitUnit(int quantity);
// The operator's name for a class ("第1类 刚性基础" ...).
const char *IsoClassCaption(IsoClass c);

// What a valid form gives; `field` and `message` name the first bad entry
// otherwise (`field` is the operator's name of the control).
struct MachineForm {
    bool ok = false;
    std::string field;
    std::string message;
    uint32_t address = 0;
    int32_t workMode = -1;
    int32_t ratedSpeed = 0;
    MachineSettings machine;
};

// `preS` is the captures' pre-trigger ([capture] pre_s): the on-delay may be
// at most what leaves room for it in the capture ring.
MachineForm ReadMachineForm(const MachineFields &fields, double preS = CaptureSettings{}.preS);

// A sensor address the station knows, with where it was seen.
enum KnownSource : unsigned {
    kKnownConnected = 1,
    kKnownDeviceTable = 2,
    kKnownSettings = 4,
    kKnownHistory = 8,
};
struct KnownSensor {
    int32_t address = 0;
    unsigned sources = 0;
    std::string name;  // from the settings file, may be empty
};

// Adds `address` (ignored when not 1..65535) to the list kept in address
// order, or marks the source on the entry already there.
void AddKnownSensor(std::vector<KnownSensor> *list, int64_t address, unsigned source);
// Everything but the history, which the dialog adds when its reader answers.
std::vector<KnownSensor> KnownSensors(const std::vector<uint32_t> &connected, const DeviceParameterTable &table,
                                      const std::map<int32_t, MachineSettings> &machines);
// The entry's text in the list: "   5  1号泵 电机端  [在线 设备表 设置 历史]".
std::string KnownSensorText(const KnownSensor &k);

// Writes a valid form: the [sensor.N] table into the settings file, then the
// device record into the device table's file (and the table in memory). The
// settings file is checked first (readable, still a settings file after the
// edit) and restored when the second write fails, so that either both files
// take the form or neither does. Returns an empty string, or the operator's
// message saying what was and was not saved.
std::string SaveMachineForm(const MachineForm &form, DeviceParameterTable &table, const std::string &devicePath,
                            const std::string &settingsPath);

}  // namespace tav
