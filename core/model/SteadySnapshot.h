#pragma once
// What every steady-state tick hands on: each bound sensor's values of that
// tick, with the time and what the connection says about the sensor. The
// history, the alarms and the broker link all read this one snapshot, so that
// none of them reaches into the connection table or the windows.
#include <cstdint>

#include "core/model/MachineSettings.h"
#include "core/model/SteadyRecord.h"
#include "core/net/ConnectionTable.h"

namespace tav {

struct SteadySensorValues {
    int32_t address = 0;
    int slot = -1;
    // Changes at every accept into the slot: a new value is a new connection.
    uint32_t generation = 0;
    // Series order of the log and the viewer: axis * 7 + parameter (AR AP AK
    // VR VP DR DP), then the speed at kSpeedSeries. g, mm/s, mm, rpm.
    float values[kSteadySeriesCount] = {};
    float samplingFrequency = 0;  // Hz
    float temperature = 0;        // as the sensor reports it
    float isoVelocity[3] = {};    // velocity RMS over 10 Hz - 1 kHz per axis, mm/s
    float ratedSpeed = 0;         // rpm from the device table; 0 = unknown
    // RMS in each watched band (WatchedBands of the sensor's settings, in
    // that order) per axis: mm/s on the velocity spectrum, g on the
    // envelope; NaN where not measured.
    float band[kMaxBands][3] = {{NAN, NAN, NAN}, {NAN, NAN, NAN}, {NAN, NAN, NAN}, {NAN, NAN, NAN},
                                {NAN, NAN, NAN}, {NAN, NAN, NAN}, {NAN, NAN, NAN}, {NAN, NAN, NAN}};
    // False while the speed comes from the start-up search band, with no
    // device record behind it.
    bool speedFromRecord = false;
    // Waveform packets parsed since the connection was accepted: a count that
    // stops moving is a sensor that stopped sending.
    uint64_t packetsParsed = 0;
    uint32_t peerIp = 0;  // host order
    uint16_t peerPort = 0;
};

struct SteadySnapshot {
    int64_t utcMs = 0;  // wall-clock time of the tick, UTC milliseconds
    int count = 0;      // sensors[0 .. count-1] are valid, in slot order
    SteadySensorValues sensors[kSlotCount];
};

// Receives every tick's snapshot on the window thread, right after the tick.
// It must return at once: queue the snapshot for a thread of its own if the
// work waits on disk or network. The snapshot is valid only during the call.
class SteadySnapshotConsumer {
public:
    virtual ~SteadySnapshotConsumer() = default;
    virtual void OnSteadySnapshot(const SteadySnapshot &snapshot) = 0;
};

}  // namespace tav
