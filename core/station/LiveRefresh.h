#pragma once
// What the live view does on its timers and on live-block events, without
// any widget: the spectrum input hand-off, the numeric fields as text, and
// the common pause rule. The Qt live view calls these on the
// window thread and only moves the results into its controls.
#include <string>

#include "core/alarm/SensorMarks.h"
#include "core/net/ConnectionTable.h"
#include "core/processing/LivePlots.h"

namespace tav {

// Live-block event (window thread): clears the pending flag so that the next
// block posts again, counts a spectrum tick and, once enough ticks have
// gathered for the selected connection's rate, copies the start of each
// time plot's shown quantity into the spectrum input. Returns true when the
// input was refreshed. With no connection selected nothing is copied.
bool TakeLiveBlock(LivePlots &plots, ConnectionTable &table);

// The numeric fields of the live view, as shown. All empty when no
// connection is selected.
struct LiveNumbers {
    std::string rms[3], peak[3];  // of each axis's shown quantity, "%.3f"
    std::string crest[3];         // acceleration peak / RMS, "%.2f"; empty for an RMS of 0
    std::string address;          // "%d"
    std::string samplingFrequency, temperature;  // "%.2f"
    // rpm, rounded, "%d"; with "?" behind it while no device record bounds
    // the search, which speedTip then explains.
    std::string speed;
    std::string speedTip;
    // Severity band velocity (10 Hz - 1 kHz RMS, mm/s), "%.2f", whatever
    // the operator's high-pass: of the last half second, the quick value.
    // bandValue is the averaged one that the zone and colours
    // (MarkLiveNumbers) judge, as the alarms do; bandTip says which is which
    // and, for a slow sensor, where its band ends.
    std::string band[3];
    float bandValue[3] = {};
    std::string bandTip;
    const char *zone[3] = {"", "", ""};  // "A" .. "D", "—" without a class
    Zone zoneOf[3] = {Zone::kNone, Zone::kNone, Zone::kNone};
    Mark zoneMark[3] = {};               // the zone's own colour
    Mark rmsMark[3] = {};                // the zone or an active alarm of the axis
    // A slow machine's axis: "速度" or "位移", whichever decided the zone,
    // and its displacement RMS over 2 Hz - 1 kHz ("%.1f µm"); empty otherwise.
    const char *zoneBy[3] = {"", "", ""};
    std::string displacement[3];
    bool selected = false;
    int32_t sensorAddress = 0;
};
LiveNumbers ReadLiveNumbers(const LivePlots &plots, ConnectionTable &table);
// Adds the zones and colours of the shown sensor's machine (class and active
// alarms); without `marks` or a selection, none.
void MarkLiveNumbers(LiveNumbers &n, const SensorMarks *marks);

// Whether the shown sensor has gone silent: no waveform packet for
// `silentAfterMs` while its connection stays open. Its last values then
// stand frozen on screen and must not read as live. A replay is never
// silent (its data do not come through the parser). Window thread.
struct SilenceWatch {
    int slot = -1;
    uint32_t generation = 0;
    uint64_t packets = 0;
    int64_t movedMs = 0;  // when the packet count last moved (steady clock)
};
bool ShownSensorSilent(SilenceWatch &watch, const ConnectionTable &table, int64_t nowMs, int64_t silentAfterMs);

// Common pause button: the `running` value for all three time plots, 0 if
// any of them runs, else 1.
int CommonPauseTarget(const int running[3]);

}  // namespace tav
