#include "core/station/LiveRefresh.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/processing/Conditioner.h"
#include "core/processing/LiveAmplitudes.h"

namespace tav {

namespace {
std::string Format(const char *pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string FormatInt(long long value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld", value);
    return text;
}

ConnectionRecord *Selected(ConnectionTable &table)
{
    const int slot = table.selectedConnection.load(std::memory_order_acquire);
    return slot >= 0 && slot < kSlotCount ? &table[slot] : nullptr;
}
}  // namespace

bool TakeLiveBlock(LivePlots &plots, ConnectionTable &table)
{
    plots.liveBlockPending.store(false, std::memory_order_release);
    ConnectionRecord *rec = Selected(table);
    if (!rec)
        return false;
    // The processing thread transforms by the same rule (SpectrumCadenceFor)
    // and resets the count; below 20 kHz every block refreshes the input.
    const float rate = rec->samplingFrequency.load(std::memory_order_relaxed);
    const long fs = std::isfinite(rate) ? static_cast<long>(std::clamp(rate, -1e9f, 1e9f)) : 0;
    const SpectrumCadence cadence = SpectrumCadenceFor(fs);
    const double share = cadence.share;

    const int ticks = plots.spectrumTicks.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (ticks < cadence.ticks)
        return false;
    std::lock_guard inputLock(plots.spectrumInputMutex);
    for (int a = 0; a < 3; ++a) {
        PlotData &plot = plots.time[a];
        float *input = plots.spectrumInput[a];
        std::lock_guard plotLock(plot.mutex);
        const int count = std::clamp(static_cast<int>(plot.pointCount * share), 0, kPlotPoints);
        const float *source = plot.Shown(plot.quantity.load(std::memory_order_relaxed));
        std::copy(source, source + count, input);
        std::fill(input + count, input + kPlotPoints, 0.0f);
    }
    return true;
}

LiveNumbers ReadLiveNumbers(const LivePlots &plots, ConnectionTable &table)
{
    LiveNumbers n;
    ConnectionRecord *rec = Selected(table);
    if (!rec)
        return n;
    const WindowStats stats = ReadStats(rec->cond);
    for (int a = 0; a < 3; ++a) {
        const int q = std::clamp(plots.time[a].quantity.load(std::memory_order_relaxed), 0, 2);
        n.rms[a] = Format("%.3f", static_cast<float>(stats.rms[q][a]));
        n.peak[a] = Format("%.3f", static_cast<float>(stats.peak[q][a]));
        // Of the acceleration whatever is shown: impacts raise it first.
        const double rms = stats.rms[kAcceleration][a];
        if (rms > 0 && std::isfinite(rms) && std::isfinite(stats.peak[kAcceleration][a]))
            n.crest[a] = Format("%.2f", stats.peak[kAcceleration][a] / rms);
        n.bandValue[a] = static_cast<float>(stats.isoVelocityAverage[a]);
        n.band[a] = Format("%.2f", static_cast<float>(stats.isoVelocityRms[a]));
    }
    {
        const float fs = rec->samplingFrequency.load(std::memory_order_relaxed);
        const double top = std::isfinite(fs) ? IsoBandHighHz(fs) : 1000.0;
        const double averageS = 0.5 * std::max(stats.isoAverageWindows, 1);
        char text[256];
        if (top < 999.5)
            std::snprintf(text, sizeof text,
                          "烈度：10–%.0f Hz 速度有效值（采样频率低于 3333 Hz，频带上限随之降低），每 0.5 s 更新；"
                          "区域与报警按 %g s 平均值判断",
                          top, averageS);
        else
            std::snprintf(text, sizeof text,
                          "烈度：10–1000 Hz 速度有效值，每 0.5 s 更新；区域与报警按 %g s 平均值判断", averageS);
        n.bandTip = text;
    }
    n.selected = true;
    n.sensorAddress = static_cast<int32_t>(rec->sensorAddress.load(std::memory_order_relaxed));
    // The address is shown as the signed 32-bit number it has always been.
    n.address = FormatInt(static_cast<int32_t>(rec->sensorAddress.load(std::memory_order_relaxed)));
    n.samplingFrequency = Format("%.2f", rec->samplingFrequency.load(std::memory_order_relaxed));
    n.temperature = Format("%.2f", rec->temperature.load(std::memory_order_relaxed));
    const float speed = rec->measuredSpeed.load(std::memory_order_relaxed);
    n.speed = FormatInt(std::isfinite(speed) ? std::llround(std::clamp(speed, -2e9f, 2e9f)) : 0);
    if (speed > 0 && rec->speedFromRecord.load(std::memory_order_relaxed) == 0) {
        char text[160];
        std::snprintf(text, sizeof text, "未设定额定转速：按启动搜索频带 %g–%g Hz 估计，可能不准",
                      rec->lowerSearchLimit.load(std::memory_order_relaxed),
                      rec->upperSearchLimit.load(std::memory_order_relaxed));
        n.speed += "?";
        n.speedTip = text;
    }
    return n;
}

void MarkLiveNumbers(LiveNumbers &n, const SensorMarks *marks)
{
    for (int a = 0; a < 3; ++a) {
        n.zone[a] = "";
        n.zoneOf[a] = Zone::kNone;
        n.zoneMark[a] = n.rmsMark[a] = Mark::kNone;
        n.zoneBy[a] = "";
        n.displacement[a].clear();
        if (!n.selected || !marks)
            continue;
        Zone zone = Zone::kNone;
        AlarmEngine::AxisJudgement slow;
        if (marks->SlowAxisMark(n.sensorAddress, a, &slow, &n.rmsMark[a])) {
            // A slow machine is judged on its 2 Hz - 1 kHz band and its
            // displacement, as the alarms judge it at each tick.
            zone = slow.zone.zone;
            n.zoneBy[a] = ZoneByText(slow.zone.by);
            n.bandValue[a] = float(slow.velocity);
            n.band[a] = std::isfinite(slow.velocity) ? Format("%.2f", float(slow.velocity)) : std::string("—");
            n.displacement[a] = std::isfinite(slow.displacementUm) ? Format("%.1f µm", float(slow.displacementUm))
                                                                     : std::string("— µm");
            n.bandTip = "低速机器（额定转速不高于 600 rpm）：烈度为 2–1000 Hz 速度有效值（由频谱求得，按设定时间平均），"
                        "并按位移有效值区域判断，取较差者；区域后注明由速度或位移决定";
        } else {
            n.rmsMark[a] = marks->AxisMark(n.sensorAddress, a, n.bandValue[a], &zone);
        }
        n.zone[a] = ZoneText(zone);
        n.zoneOf[a] = zone;
        n.zoneMark[a] = MarkOf(zone, 0);
        // A faulty sensor's green says nothing: its own mark replaces it.
        if (n.rmsMark[a] == Mark::kSensorFault)
            n.zoneMark[a] = Mark::kSensorFault;
    }
}

bool ShownSensorSilent(SilenceWatch &watch, const ConnectionTable &table, int64_t nowMs, int64_t silentAfterMs)
{
    const int slot = table.selectedConnection.load(std::memory_order_acquire);
    if (slot < 0 || slot >= kSlotCount || table.acquisitionState.load() == 2 || !table.records[slot].InUse()) {
        watch.slot = -1;
        return false;
    }
    const ConnectionRecord &rec = table.records[slot];
    const uint32_t generation = rec.generation.load();
    const uint64_t packets = rec.packetsParsed.load(std::memory_order_relaxed);
    if (watch.slot != slot || watch.generation != generation || watch.packets != packets) {
        // Another sensor, or this one still sending: the silence starts over.
        watch.slot = slot;
        watch.generation = generation;
        watch.packets = packets;
        watch.movedMs = nowMs;
        return false;
    }
    return nowMs - watch.movedMs >= silentAfterMs;
}

int CommonPauseTarget(const int running[3])
{
    return running[0] || running[1] || running[2] ? 0 : 1;
}

}  // namespace tav
