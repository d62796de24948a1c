#include "dsp/Conditioner.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>

namespace tav {

static_assert(std::endian::native == std::endian::little,
              "packet fields are read in place as little-endian values");

namespace {

constexpr int kPacketBytes = 1420;
constexpr int kRowsPerPacket = 116;
constexpr int kRowBytes = 12;
constexpr int kSamplesOffset = 24;
constexpr int kAddressOffset = 4;
constexpr int kRateOffset = 8;
constexpr int kTemperatureOffset = 12;

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

// A working copy of one axis's state. A run of samples is processed on this
// local copy so that the stores into the plot arrays cannot alias it and the
// compiler may keep it in registers.
struct AxisWork {
    double a, b;
    Integrator vel, disp;
    Biquad velHp, dispHp, speedLp;
    double sumSq[3], peak[3];
    double s1, s2, s3, s4;
    double shift;
};

void Load(AxisWork &w, const ConditionState &c, int axis)
{
    w.a = c.integratorA;
    w.b = c.integratorB;
    w.vel = c.velocityIntegrator[axis];
    w.disp = c.displacementIntegrator[axis];
    w.velHp = c.velocityHighPass[axis];
    w.dispHp = c.displacementHighPass[axis];
    w.speedLp = c.speedLowPass[axis];
    for (int q = 0; q < 3; ++q) {
        w.sumSq[q] = c.sumSquares[q][axis];
        w.peak[q] = c.runningPeak[q][axis];
    }
    w.s1 = c.sumAccel[axis];
    w.s2 = c.sumAccel2[axis];
    w.s3 = c.sumAccel3[axis];
    w.s4 = c.sumAccel4[axis];
    w.shift = c.kurtosisShift[axis];
}

void Store(const AxisWork &w, ConditionState &c, int axis)
{
    c.velocityIntegrator[axis] = w.vel;
    c.displacementIntegrator[axis] = w.disp;
    c.velocityHighPass[axis] = w.velHp;
    c.displacementHighPass[axis] = w.dispHp;
    c.speedLowPass[axis] = w.speedLp;
    for (int q = 0; q < 3; ++q) {
        c.sumSquares[q][axis] = w.sumSq[q];
        c.runningPeak[q][axis] = w.peak[q];
    }
    c.sumAccel[axis] = w.s1;
    c.sumAccel2[axis] = w.s2;
    c.sumAccel3[axis] = w.s3;
    c.sumAccel4[axis] = w.s4;
}

inline void Accumulate(double value, double &sumSq, double &peak)
{
    sumSq += value * value;
    const double magnitude = std::fabs(value);
    if (magnitude > peak)  // strict: the window keeps its first largest value
        peak = magnitude;
}

// Conditions `n` consecutive samples of one axis, `p` pointing at the first
// (12 bytes between rows). The branches that hold for a whole run are
// template arguments so that the per-sample loop has none of them.
template <bool kHighPass, bool kPlot, bool kCapture>
void RunSamples(AxisWork &w, const uint8_t *p, int n, float *acc, float *vel, float *disp,
                float *capture, int captureCount, uint64_t &nonFinite)
{
    for (int i = 0; i < n; ++i, p += kRowBytes) {
        float x = ReadFloat(p);
        if (!std::isfinite(x)) {
            // One bad value must not poison the integrators and statistics
            // for good: it counts as no acceleration, and is counted.
            x = 0.0f;
            ++nonFinite;
        }
        const double xd = x;
        Accumulate(xd, w.sumSq[0], w.peak[0]);
        const double dev = xd - w.shift;
        const double dev2 = dev * dev;
        w.s1 += dev;
        w.s2 += dev2;
        w.s3 += dev2 * dev;
        w.s4 += dev2 * dev2;

        float v = static_cast<float>(IntegratorStep(x, w.vel, w.a, w.b) * kMillimetresPerSecondSquaredPerG);
        // Displacement comes from the velocity before its high-pass.
        float d = static_cast<float>(IntegratorStep(v, w.disp, w.a, w.b));
        if constexpr (kHighPass) {
            v = static_cast<float>(BiquadStep(w.velHp, v));
            d = static_cast<float>(BiquadStep(w.dispHp, d));
        }
        if constexpr (kPlot) {
            acc[i] = x;
            vel[i] = v;
            disp[i] = d;
        }
        Accumulate(v, w.sumSq[1], w.peak[1]);
        Accumulate(d, w.sumSq[2], w.peak[2]);

        if constexpr (kCapture) {
            const double y = BiquadStep(w.speedLp, xd);
            const int count = captureCount + i;
            if (count % kCaptureDecimation == 0) {
                // A limit set beyond the capture's length must not write past it.
                const int position = count / kCaptureDecimation;
                if (position < kSpeedCaptureLength)
                    capture[position] = static_cast<float>(y);
            }
        }
    }
}

using RunFn = void (*)(AxisWork &, const uint8_t *, int, float *, float *, float *, float *, int,
                       uint64_t &);
// Indexed [highPass][plot][capture].
constexpr RunFn kRun[2][2][2] = {
    {{RunSamples<false, false, false>, RunSamples<false, false, true>},
     {RunSamples<false, true, false>, RunSamples<false, true, true>}},
    {{RunSamples<true, false, false>, RunSamples<true, false, true>},
     {RunSamples<true, true, false>, RunSamples<true, true, true>}},
};

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
        for (int q = 0; q < 3; ++q) {
            out.peak[q][a] = c.runningPeak[q][a];
            c.runningPeak[q][a] = c.sumSquares[q][a] = 0.0;
        }
        out.kurtosis[a] = Kurtosis(c.sumAccel[a], c.sumAccel2[a], c.sumAccel3[a], c.sumAccel4[a], rows);
        c.sumAccel[a] = c.sumAccel2[a] = c.sumAccel3[a] = c.sumAccel4[a] = 0.0;
    }
    {
        std::lock_guard lock(c.statsMutex);
        out.windows = c.stats.windows + 1;
        c.stats = out;
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
    for (int a = 0; a < 3; ++a) {
        DesignBiquad(c.speedLowPass[a], BiquadKind::LowPass, rate, kSpeedLowPassHz, kFilterQ);
        DesignBiquad(c.velocityHighPass[a], BiquadKind::HighPass, rate, kHighPassHz, kFilterQ);
        DesignBiquad(c.displacementHighPass[a], BiquadKind::HighPass, rate, kHighPassHz, kFilterQ);
    }
    c.coefficientsFs = fs;
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
            // The one-second window moves on by this block: the oldest rows
            // leave at the start, the block's rows are written at the end.
            const int keep = live - rows;
            float *base[3][3] = {};
            for (int a = 0; a < 3; ++a) {
                if (!running[a])
                    continue;
                for (int q = 0; q < 3; ++q) {
                    float *array = plots_.time[a].Array(q);
                    std::memmove(array, array + rows, static_cast<size_t>(keep) * sizeof(float));
                    base[a][q] = array + keep;
                }
            }
            ConditionRows(rec, block, rows, fs, highPass, base);
        } else {
            // A block longer than the live window cannot be shown as one
            // second: its raw acceleration goes on show, and the statistics
            // skip it rather than count rows they did not see.
            WriteRawSamples(rec, block, rows, running);
        }
        for (auto &plot : plots_.time)
            plot.pointCount = live;
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
    const int limit = c.captureLimit.load(std::memory_order_acquire);
    const bool capturing = count < limit;
    uint64_t nonFinite = 0;

    // The block is cut where a statistics window closes, so that each piece
    // runs axis by axis over contiguous samples.
    int row = 0;
    while (row < rows) {
        const uint32_t length = std::max<uint16_t>(c.windowLength, 1);
        const uint32_t left = c.windowCount < length ? length - c.windowCount : 1;
        const int piece = static_cast<int>(std::min<uint32_t>(left, static_cast<uint32_t>(rows - row)));
        const bool newWindow = c.windowCount == 0;
        const int captureRows = capturing ? std::clamp(limit - count, 0, piece) : 0;

        for (int a = 0; a < 3; ++a) {
            AxisWork w;
            Load(w, c, a);
            const bool plot = plotBase[a][0] != nullptr;
            auto sampleAt = [&](int i) {
                return block + (i / kRowsPerPacket) * kPacketBytes + kSamplesOffset +
                       (i % kRowsPerPacket) * kRowBytes + a * 4;
            };
            if (newWindow) {
                w.shift = CleanSample(ReadFloat(sampleAt(row)));
                c.kurtosisShift[a] = static_cast<float>(w.shift);
            }
            int done = 0;
            while (done < piece) {
                const int i = row + done;
                const int n = std::min(kRowsPerPacket - i % kRowsPerPacket, piece - done);
                const uint8_t *p = sampleAt(i);
                float *acc = plot ? plotBase[a][0] + i : nullptr;
                float *vel = plot ? plotBase[a][1] + i : nullptr;
                float *disp = plot ? plotBase[a][2] + i : nullptr;
                const int withCapture = std::clamp(captureRows - done, 0, n);
                if (withCapture > 0)
                    kRun[highPass][plot][1](w, p, withCapture, acc, vel, disp, c.speedCapture[a],
                                            count + done, nonFinite);
                if (n > withCapture)
                    kRun[highPass][plot][0](w, p + withCapture * kRowBytes, n - withCapture,
                                            plot ? acc + withCapture : nullptr,
                                            plot ? vel + withCapture : nullptr,
                                            plot ? disp + withCapture : nullptr, nullptr, 0, nonFinite);
                done += n;
            }
            Store(w, c, a);
        }
        c.windowCount += static_cast<uint32_t>(piece);
        count += captureRows;
        if (c.windowCount >= length)
            CloseWindow(c, fs);
        row += piece;
    }
    // Only the conditioning writes the count while it is below the limit;
    // reaching the limit hands the capture over (release: its values first).
    if (capturing)
        c.captureCount.store(count, std::memory_order_release);
    if (nonFinite)
        c.nonFiniteSamples.fetch_add(nonFinite, std::memory_order_relaxed);
}

void Conditioner::WriteRawSamples(ConnectionRecord &rec, const uint8_t *block, int rows, const bool running[3])
{
    uint64_t nonFinite = 0;
    const int n = std::min(rows, kPlotPoints);
    for (int a = 0; a < 3; ++a) {
        if (!running[a])
            continue;
        float *samples = plots_.time[a].samples;
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
