#pragma once
// Conditioning of every block of waveform packets: integration to velocity
// and displacement, the optional 10 Hz high-pass, half-second statistics,
// the decimated speed capture and, for the displayed connection, the three
// live time plots.
#include <cstdint>

#include "core/dsp/ConditionState.h"
#include "core/net/BlockConsumer.h"
#include "core/net/ConnectionTable.h"
#include "core/net/EventSink.h"
#include "core/net/SensorFrame.h"
#include "core/processing/LivePlots.h"

namespace tav {

// Every slot's filters and integrators are made for this rate until its
// sensor reports its own.
constexpr float kStartSamplingFrequency = 26667.0f;
// Rates outside (0, kMaxSamplingFrequency] in a packet (net/SensorFrame.h)
// are taken as corrupt and never replace the connection's rate.
constexpr float kHighPassHz = 10.0f;
constexpr float kFilterQ = 0.7071f;

// Top of the severity band at `fs`: 1 kHz, or less for a sensor sampling
// below 3333 Hz (dsp/BandDesign.h).
float IsoBandHighHz(float fs);

// Integrator coefficients, the capture's decimation and all filter sections
// of `c` for `fs`; filter states are cleared, integrator states kept.
// Caller owns `c` (conditionMutex held, or before any thread runs).
void PrepareForSamplingFrequency(ConditionState &c, float fs);

// Rows per statistics window for `fs`: half a second, at least 1, at most
// what the 16-bit length holds.
uint16_t WindowLengthFor(float fs);

class Conditioner : public BlockConsumer {
public:
    // Prepares every slot of `table` for kStartSamplingFrequency. Construct
    // before any parser thread runs. `recording` may be null.
    Conditioner(ConnectionTable &table, LivePlots &plots, EventSink &sink, RecordingSink *recording);

    // Replaces the recording hook; only while no block is being conditioned
    // (before the station starts).
    void SetRecordingSink(RecordingSink *recording) { recording_ = recording; }
    // A second copy of every block before it is conditioned (the alarm
    // captures' pre-trigger rings); same rules as SetRecordingSink.
    void SetTapSink(RecordingSink *tap) { tap_ = tap; }
    // A third copy, for the band monitor's rings; same rules.
    void SetBandSink(RecordingSink *bands) { bands_ = bands; }
    // The severity band's filters run on every block unless switched off
    // here; only the benchmark switches them off, to weigh their cost.
    // Before the station starts.
    void SetIsoBand(bool on) { isoBand_ = on; }

    // Parser thread of `rec` (or the window thread during replay), with
    // rec.conditionMutex held. `block` holds `packets` whole packets.
    // Never allocates.
    void ConditionBlock(ConnectionRecord &rec, const uint8_t *block, int packets) override;

private:
    // Conditions `rows` rows of `block` at `fs`. plotBase[axis][quantity]
    // is where row 0 of that plot array goes, or null for no plot.
    void ConditionRows(ConnectionRecord &rec, const uint8_t *block, int rows, float fs, bool highPass,
                       float *const plotBase[3][3]);
    void WriteRawSamples(ConnectionRecord &rec, const uint8_t *block, int rows, const bool running[3]);

    ConnectionTable &table_;
    LivePlots &plots_;
    EventSink &sink_;
    RecordingSink *recording_;
    RecordingSink *tap_ = nullptr;
    RecordingSink *bands_ = nullptr;
    bool isoBand_ = true;
};

// Handler of the high-pass button (window thread): switches the 10 Hz
// high-pass of velocity and displacement for all connections from the next
// sample on, keeping the sections' states. Returns the new state (1 on).
int ToggleHighPass(LivePlots &plots);
// The button's caption for a high-pass state (UTF-8).
const char *HighPassButtonText(int highPassOn);

}  // namespace tav
