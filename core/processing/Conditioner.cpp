#include "core/processing/Conditioner.h"

#include "core/dsp/ConditionKernel.h"
#include "core/processing/SpeedEstimator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>

namespace tav {

static_assert(std::endian::native == std::endian::little,
              "packet fields are read in place as little-endian values");

namespace {

// The packet layout is the one of net/SensorFrame.h, as signed ints for the
// row arithmetic here.
constexpr int kPacketBytes = int(kPacketSize);
constexpr int kRowsPerPacket = kSamplesPerPacket;
constexpr int kRowBytes = 12;
constexpr int kSamplesOffset = int(kPacketSamplesOffset);
constexpr int kAddressOffset = int(kPacketAddressOffset);
constexpr int kRateOffset = int(kPacketFrequencyOffset);
constexpr int kTemperatureOffset = int(kPacketTemperatureOffset);

float ReadFloat(const uint8_t *p)
{
    float f;
    std::memcpy(&f, p, sizeof f);
    return f;
}

uint32_t ReadU32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool ValidRate(float fs) { return std::isfinite(fs) && fs > 0.0f && fs <= kMaxSamplingFrequency; }

void ClearSectionState(Biquad &s) { s.x1 = s.x2 = s.y1 = s.y2 = 0.0; }

// Fourth central moment over the squared second, from sums of deviations
// from a shift; 0 for a window without variance.
double Kurtosis(double s1, double s2, double s3, double s4, double rows)
{
    if (rows <= 0)
        return 0.0;
    const double m = s1 / rows, e2 = s2 / rows, e3 = s3 / rows, e4 = s4 / rows;
    const double variance = e2 - m * m;
    if (!(variance > 0.0))
        return 0.0;
    const double m4 = e4 - 4.0 * m * e3 + 6.0 * m * m * e2 - 3.0 * m * m * m * m;
    return std::max(m4, 0.0) / (variance * variance);
}

// Closes the statistics window of `c`: results out under the stats lock,
// accumulators cleared, the next window sized for `fs`.
void CloseWindow(ConditionState &c, float fs)
{
    const double n = std::max<uint16_t>(c.windowLength, 1);
    const double rows = c.windowCount;
    WindowStats out;
    for (int a = 0; a < 3; ++a) {
        out.rms[kAcceleration][a] = std::sqrt(c.sumSquares[kAcceleration][a] / n);
        // A sum that is no longer finite means the integrator diverged: start
        // that quantity again, whether or not the connection is displayed.
        // The high-pass section holds the bad values too and is cleared with
        // it, or the velocity would stay NaN while the filter is on.
        if (!std::isfinite(c.sumSquares[kVelocity][a])) {
            c.sumSquares[kVelocity][a] = c.runningPeak[kVelocity][a] = 0.0;
            c.velocityIntegrator[a] = Integrator{};
            ClearSectionState(c.velocityHighPass[a]);
        }
        out.rms[kVelocity][a] = std::sqrt(c.sumSquares[kVelocity][a] / n);
        if (!std::isfinite(c.sumSquares[kDisplacement][a])) {
            c.sumSquares[kDisplacement][a] = c.runningPeak[kDisplacement][a] = 0.0;
            c.displacementIntegrator[a] = Integrator{};
            ClearSectionState(c.displacementHighPass[a]);
        }
        out.rms[kDisplacement][a] = std::sqrt(c.sumSquares[kDisplacement][a] / n);
        if (!std::isfinite(c.isoSumSquares[a])) {
            for (auto &section : c.isoBand)
                ClearSectionState(section[a]);
            for (auto &past : c.isoLowPassHistory)
                past[a] = 0.0;
            for (auto &state : c.isoLowPassState)
                state[a] = 0.0;
            c.isoSumSquares[a] = 0.0;
        }
        // The band's sum is of the rows kept for its high-pass part.
        const double isoMeanSquare =
            c.isoKeptRows > 0 ? c.isoSumSquares[a] * (c.isoGain * c.isoGain) / c.isoKeptRows : 0.0;
        out.isoVelocityRms[a] = std::sqrt(isoMeanSquare);
        c.isoWindowMeanSquares[c.isoRingNext][a] = isoMeanSquare;
        c.isoSumSquares[a] = 0.0;
        for (int q = 0; q < 3; ++q) {
            out.peak[q][a] = c.runningPeak[q][a];
            c.runningPeak[q][a] = c.sumSquares[q][a] = 0.0;
        }
        out.kurtosis[a] = Kurtosis(c.sumAccel[a], c.sumAccel2[a], c.sumAccel3[a], c.sumAccel4[a], rows);
        if (rows > 0) {
            const double m = c.sumAccel[a] / rows;
            out.rawMean[a] = c.kurtosisShift[a] + m;
            out.rawDeviation[a] = std::sqrt(std::max(c.sumAccel2[a] / rows - m * m, 0.0));
            out.rawMin[a] = c.rawMin[a];
            out.rawMax[a] = c.rawMax[a];
        }
        out.longestRun[a] = c.rawLongestRun[a];
        out.atRangeLimit[a] = c.rawAtLimit[a];
        c.sumAccel[a] = c.sumAccel2[a] = c.sumAccel3[a] = c.sumAccel4[a] = 0.0;
    }
    // The severity average: mean square over the newest windows, at most
    // as many as have closed since the sensor connected.
    c.isoRingNext = (c.isoRingNext + 1) % kMaxSeverityAverageWindows;
    c.isoRingFilled = std::min(c.isoRingFilled + 1, kMaxSeverityAverageWindows);
    const int span = std::clamp(c.severityAverageWindows.load(std::memory_order_relaxed), 1, c.isoRingFilled);
    for (int a = 0; a < 3; ++a) {
        double sum = 0.0;
        for (int k = 1; k <= span; ++k)
            sum += c.isoWindowMeanSquares[(c.isoRingNext - k + kMaxSeverityAverageWindows) % kMaxSeverityAverageWindows][a];
        out.isoVelocityAverage[a] = std::sqrt(sum / span);
    }
    out.isoAverageWindows = span;
    c.isoKeptRows = 0;
    out.rows = static_cast<uint32_t>(c.windowCount);
    out.rangeLimitG = c.rangeLimitG.load(std::memory_order_relaxed);
    ResetRawFigures(c);
    {
        std::lock_guard lock(c.statsMutex);
        out.windows = c.stats.windows + 1;
        c.stats = out;
        KeepCompletedWindow(c);
    }
    c.windowCount = 0;
    c.windowLength = WindowLengthFor(fs);
}

float CleanSample(float x) { return std::isfinite(x) ? x : 0.0f; }

}  // namespace

void PrepareForSamplingFrequency(ConditionState &c, float fs)
{
    const IntegratorCoefficients k = MakeIntegratorCoefficients(fs);
    c.integratorA = k.a;
    c.integratorB = k.b;
    const int rate = fs >= 1.0f ? static_cast<int>(fs) : 1;
    Biquad band[kSeveritySections], speed[kSpeedSections];
    DesignSeverityBand(band, fs);
    DesignSpeedAntiAlias(speed, fs);
    c.isoGain = 1.0;
    for (const Biquad &section : band)
        c.isoGain *= section.b0;
    for (int a = 0; a < 3; ++a) {
        DesignBiquad(c.velocityHighPass[a], BiquadKind::HighPass, rate, kHighPassHz, kFilterQ);
        DesignBiquad(c.displacementHighPass[a], BiquadKind::HighPass, rate, kHighPassHz, kFilterQ);
        for (int i = 0; i < kSeveritySections; ++i)
            c.isoBand[i][a] = band[i];
        for (auto &past : c.isoLowPassHistory)
            past[a] = 0.0;
        for (auto &state : c.isoLowPassState)
            state[a] = 0.0;
    }
    c.isoDecimation = SeverityDecimationFor(fs);
    c.isoUntilKept = 0;
    for (int i = 0; i < kSpeedSections; ++i)
        c.speedLowPass[i] = speed[i];
    c.captureDecimation = CaptureDecimationFor(fs);
    c.coefficientsFs = fs;
}

float IsoBandHighHz(float fs)
{
    return static_cast<float>(SeverityTopHz(fs));
}

uint16_t WindowLengthFor(float fs)
{
    const double rows = std::trunc(static_cast<double>(fs) * 500.0 / 1000.0);
    if (!(rows >= 1.0))
        return 1;
    return rows >= 65535.0 ? 65535 : static_cast<uint16_t>(rows);
}

Conditioner::Conditioner(ConnectionTable &table, LivePlots &plots, EventSink &sink, RecordingSink *recording)
    : table_(table), plots_(plots), sink_(sink), recording_(recording)
{
    for (auto &rec : table_.records) {
        std::lock_guard lock(rec.conditionMutex);
        PrepareForSamplingFrequency(rec.cond, kStartSamplingFrequency);
    }
}

void Conditioner::ConditionBlock(ConnectionRecord &rec, const uint8_t *block, int packets)
{
    if (packets <= 0)
        return;
    if (recording_)
        recording_->RecordBlock(rec, block, static_cast<uint32_t>(packets) * kPacketBytes);
    // A replay runs through the selected slot: its old packets must not
    // enter that sensor's alarm captures.
    const bool replayed = table_.acquisitionState.load(std::memory_order_relaxed) == 2 &&
                          rec.slotIndex == table_.selectedConnection.load(std::memory_order_relaxed);
    if (tap_ && !replayed)
        tap_->RecordBlock(rec, block, static_cast<uint32_t>(packets) * kPacketBytes);
    if (bands_ && !replayed)
        bands_->RecordBlock(rec, block, static_cast<uint32_t>(packets) * kPacketBytes);

    ConditionState &c = rec.cond;
    rec.sensorAddress.store(ReadU32(block + kAddressOffset), std::memory_order_relaxed);
    rec.temperature.store(ReadFloat(block + kTemperatureOffset), std::memory_order_relaxed);

    float fs = rec.samplingFrequency.load(std::memory_order_relaxed);
    const float packetFs = ReadFloat(block + kRateOffset);
    if (ValidRate(packetFs) && packetFs != fs) {
        fs = packetFs;
        rec.samplingFrequency.store(fs, std::memory_order_relaxed);
    }
    // The parser stores every packet's rate as it comes; a corrupt one must
    // not reach the filter design or the array sizes.
    if (!ValidRate(fs))
        fs = ValidRate(c.coefficientsFs) ? c.coefficientsFs : kStartSamplingFrequency;
    // Each connection keeps coefficients for its own rate, so that a sensor
    // at another rate, or a replayed block, never retunes the others.
    if (fs != c.coefficientsFs)
        PrepareForSamplingFrequency(c, fs);

    const int rows = packets * kRowsPerPacket;
    const int live = std::min(static_cast<int>(fs), kPlotPoints);  // one second of samples
    if (c.windowLength < 10)
        c.windowLength = WindowLengthFor(fs);
    const bool highPass = plots_.highPassOn.load(std::memory_order_relaxed) == 1;

    if (rec.slotIndex != table_.selectedConnection.load(std::memory_order_acquire)) {
        float *none[3][3] = {};
        ConditionRows(rec, block, rows, fs, highPass, none);
        return;
    }

    {
        std::scoped_lock lock(plots_.time[0].mutex, plots_.time[1].mutex, plots_.time[2].mutex);
        bool running[3];
        for (int a = 0; a < 3; ++a)
            running[a] = plots_.time[a].running.load(std::memory_order_relaxed) != 0;
        if (live > rows) {
            // The one-second window moves on by this block: the block's rows
            // are written after the shown ones and the start moves past the
            // oldest. Only when the array's end is reached do the newest
            // values move back to its start (every few seconds).
            const int keep = live - rows;
            float *base[3][3] = {};
            // While an analysis keeps the newest seconds, a paused axis's
            // values go to the capture's scratch instead of nowhere.
            LiveCapture &capture = plots_.capture;
            const bool capturing = capture.Active() && rows <= LiveCapture::kScratchRows;
            for (int a = 0; a < 3; ++a) {
                if (!running[a]) {
                    if (capturing)
                        for (int q = 0; q < 3; ++q)
                            base[a][q] = capture.Scratch(a, q);
                    continue;
                }
                PlotData &plot = plots_.time[a];
                // A rate change may have lengthened the window past the room.
                const int first = std::clamp(plot.first, 0, kPlotCapacity - live);
                const bool wrap = first + live + rows > kPlotCapacity;
                for (int q = 0; q < 3; ++q) {
                    float *array = plot.Array(q);
                    if (wrap)
                        std::memmove(array, array + first + rows, static_cast<size_t>(keep) * sizeof(float));
                    base[a][q] = wrap ? array + keep : array + first + live;
                }
                plot.first = wrap ? 0 : first + rows;
            }
            ConditionRows(rec, block, rows, fs, highPass, base);
            if (capturing)
                capture.Write(rec.slotIndex, fs, base, rows);
        } else {
            // A block longer than the live window cannot be shown as one
            // second: its raw acceleration goes on show, and the statistics
            // skip it rather than count rows they did not see.
            WriteRawSamples(rec, block, rows, running);
        }
        for (auto &plot : plots_.time) {
            plot.pointCount = live;
            plot.first = std::clamp(plot.first, 0, kPlotCapacity - live);
        }
    }
    if (!plots_.liveBlockPending.exchange(true, std::memory_order_acq_rel))
        sink_.Post(StationEvent::Make(kLiveBlockEvent));
}

void Conditioner::ConditionRows(ConnectionRecord &rec, const uint8_t *block, int rows, float fs,
                                bool highPass, float *const plotBase[3][3])
{
    ConditionState &c = rec.cond;
    // Speed capture hand-off: the count first, then the limit, which the
    // processing thread sets before it restarts the count.
    int count = c.captureCount.load(std::memory_order_acquire);
    int limit = c.captureLimit.load(std::memory_order_acquire);
    // The first capture's limit is set before the sensor's rate is known;
    // a slower sensor's capture completes after its own three seconds, not
    // after the samples of three seconds at the start rate. While the
    // capture is still below its limit, the limit is the parser's to lower.
    if (count < limit && limit > NextCaptureLimit(fs)) {
        limit = NextCaptureLimit(fs);
        c.captureLimit.store(limit, std::memory_order_release);
    }
    const bool capturing = count < limit;

    bool plot = false;
    for (int a = 0; a < 3; ++a)
        plot = plot || plotBase[a][0] != nullptr;
    float parked = 0.0f;  // where a paused axis's values go while the others are drawn

    uint64_t nonFinite = 0;
    kernel::RowWork w;
    kernel::LoadLanes(w, c);
    // The block is cut where a statistics window closes; within a piece the
    // rows run in stretches of whole packets' samples.
    int row = 0;
    while (row < rows) {
        const uint32_t length = std::max<uint16_t>(c.windowLength, 1);
        const uint32_t left = c.windowCount < length ? length - c.windowCount : 1;
        const int piece = static_cast<int>(std::min<uint32_t>(left, static_cast<uint32_t>(rows - row)));
        const int captureRows = capturing ? std::clamp(limit - count, 0, piece) : 0;
        auto rowAt = [&](int i) {
            return block + (i / kRowsPerPacket) * kPacketBytes + kSamplesOffset + (i % kRowsPerPacket) * kRowBytes;
        };
        if (c.windowCount == 0) {
            for (int a = 0; a < 3; ++a) {
                c.kurtosisShift[a] = CleanSample(ReadFloat(rowAt(row) + a * 4));
                w.shift[a] = c.kurtosisShift[a];
            }
        }
        for (int done = 0; done < piece;) {
            const int i = row + done;
            const int n = std::min(kRowsPerPacket - i % kRowsPerPacket, piece - done);
            const int withCapture = std::clamp(captureRows - done, 0, n);
            kernel::RowOutput out;
            for (int a = 0; a < 3; ++a) {
                out.capture[a] = c.speedCapture[a];
                const bool drawn = plotBase[a][0] != nullptr;
                out.step[a] = drawn ? 1 : 0;
                for (int q = 0; q < 3; ++q)
                    out.plot[a][q] = drawn ? plotBase[a][q] + i : &parked;
            }
            out.captureCount = count + done;
            out.captureDecimation = c.captureDecimation;
            if (withCapture > 0)
                kernel::ConditionRowRun(w, rowAt(i), withCapture, isoBand_, highPass, plot, true, out);
            if (n > withCapture) {
                for (int a = 0; a < 3; ++a)
                    for (int q = 0; q < 3; ++q)
                        out.plot[a][q] += withCapture * out.step[a];
                kernel::ConditionRowRun(w, rowAt(i + withCapture), n - withCapture, isoBand_, highPass, plot, false,
                                        out);
            }
            done += n;
        }
        c.windowCount += static_cast<uint32_t>(piece);
        count += captureRows;
        if (c.windowCount >= length) {
            // The reset of a diverged integrator happens in the state, so
            // the lanes are gathered again after the close.
            nonFinite += kernel::StoreLanes(w, c);
            CloseWindow(c, fs);
            kernel::LoadLanes(w, c);
        }
        row += piece;
    }
    nonFinite += kernel::StoreLanes(w, c);
    if (nonFinite)
        c.nonFiniteSamples.fetch_add(nonFinite, std::memory_order_relaxed);
    // Only the conditioning writes the count while it is below the limit;
    // reaching the limit hands the capture over (release: its values first).
    if (capturing)
        c.captureCount.store(count, std::memory_order_release);
}

void Conditioner::WriteRawSamples(ConnectionRecord &rec, const uint8_t *block, int rows, const bool running[3])
{
    uint64_t nonFinite = 0;
    const int n = std::min(rows, kPlotPoints);
    for (int a = 0; a < 3; ++a) {
        if (!running[a])
            continue;
        float *samples = plots_.time[a].samples;
        plots_.time[a].first = 0;
        for (int i = 0; i < n; ++i) {
            const float x = ReadFloat(block + (i / kRowsPerPacket) * kPacketBytes + kSamplesOffset +
                                      (i % kRowsPerPacket) * kRowBytes + a * 4);
            if (!std::isfinite(x))
                ++nonFinite;
            samples[i] = CleanSample(x);
        }
    }
    if (nonFinite)
        rec.cond.nonFiniteSamples.fetch_add(nonFinite, std::memory_order_relaxed);
}

int ToggleHighPass(LivePlots &plots)
{
    const int on = plots.highPassOn.load(std::memory_order_relaxed) == 1 ? 0 : 1;
    plots.highPassOn.store(on, std::memory_order_relaxed);
    return on;
}

const char *HighPassButtonText(int highPassOn)
{
    return highPassOn == 1 ? "10Hz高通->开" : "10Hz高通->关";
}

}  // namespace tav
