#include "core/steady/SteadyViewerState.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tav {

namespace {

const char *const kTimeWindowNames[kTimeWindowCount] = {"60分钟", "30分钟", "20分钟", "10分钟", "5分钟", "1分钟"};
const int kRedrawDivisors[kTimeWindowCount] = {6, 3, 2, 1, 1, 1};

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

const std::string *SteadySeriesNames()
{
    static const std::string names[kSteadySeriesCount] = {
        "X_AR", "X_AP", "X_AK", "X_VR", "X_VP", "X_DR", "X_DP",
        "Y_AR", "Y_AP", "Y_AK", "Y_VR", "Y_VP", "Y_DR", "Y_DP",
        "Z_AR", "Z_AP", "Z_AK", "Z_VR", "Z_VP", "Z_DR", "Z_DP", "rpm",
    };
    return names;
}

const char *TimeWindowName(int timeWindow)
{
    return timeWindow >= 0 && timeWindow < kTimeWindowCount ? kTimeWindowNames[timeWindow] : "";
}

int RedrawDivisorOf(int timeWindow)
{
    return timeWindow >= 0 && timeWindow < kTimeWindowCount ? kRedrawDivisors[timeWindow] : 1;
}

void SteadyViewerState::Reset()
{
    for (int s = 0; s < kSteadySeriesCount; ++s) {
        trendSelected[s] = s >= 2 * kSteadyParameterCount ? 1 : 0;
        trendScale[s] = s == kSpeedSeries ? 0.005f : 1.0f;
    }
    selectedCount = 8;
    axisChoice[0] = 0;
    axisChoice[1] = 0;
    axisChoice[2] = 1;
    redrawDivisor = 6;
    redrawCounter = 0;
    recordIndex = 0;
    parameterIndex = 0;
    timeWindow = 0;
}

void SteadyViewerState::ChooseAxis(int axis)
{
    if (axis < 0 || axis > 2) return;
    for (int a = 0; a < 3; ++a) axisChoice[a] = a == axis ? 1 : 0;
    for (int s = 0; s < kSteadyAxisValues; ++s) trendSelected[s] = SeriesAxis(s) == axis ? 1 : 0;
    selectedCount = kSteadyParameterCount + trendSelected[kSpeedSeries];
}

bool SteadyViewerState::SetSeriesSelected(int series, bool ticked)
{
    if (series < 0 || series >= kSteadySeriesCount) return false;
    if (!ticked) {
        // Only a shown series lowers the count, so that a repeated
        // notification cannot drive it below the number of ones.
        if (trendSelected[series] == 1) --selectedCount;
        trendSelected[series] = 0;
        return true;
    }
    if (trendSelected[series] == 1) return true;
    if (selectedCount >= kTrendMaxSelected) return false;
    trendSelected[series] = 1;
    ++selectedCount;
    return true;
}

bool SteadyViewerState::SetScale(int series, double value)
{
    if (series < 0 || series >= kSteadySeriesCount) return false;
    // Written so that NaN, which compares false with everything, is refused.
    if (value > kTrendScaleMax || !(value >= kTrendScaleMin)) return false;
    trendScale[series] = static_cast<float>(value);
    return true;
}

void SteadyViewerState::ChooseTimeWindow(int index)
{
    timeWindow = index;
    redrawDivisor = RedrawDivisorOf(index);
}

bool SteadyViewerState::CountRedraw()
{
    ++redrawCounter;
    // At or past the divisor: a shorter window chosen while the counter was
    // already higher must not stop the redraws.
    if (redrawCounter < redrawDivisor) return false;
    redrawCounter = 0;
    return true;
}

std::string FactorText(float factor, int decimals)
{
    char text[64];
    // The fewest decimals from `decimals` on that read back as this very
    // factor: "倍率设定" pressed on the shown text must not change it (with
    // two decimals the speed's 0.005 read "0.01" and doubled the trend).
    for (int d = decimals < 0 ? 0 : decimals; d <= 12; ++d) {
        std::snprintf(text, sizeof text, "%0.*f", d, double(factor));
        if (static_cast<float>(ParseFactor(text)) == factor) return text;
    }
    std::snprintf(text, sizeof text, "%.9g", double(factor));
    return text;
}

double ParseFactor(const std::string &text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && Blank(text[begin])) ++begin;
    while (end > begin && Blank(text[end - 1])) --end;
    const std::string number = text.substr(begin, end - begin);
    if (number.empty()) return NAN;
    // Plain decimal notation only: strtod would also take "inf", "nan" and
    // hexadecimal forms, which no operator means as a factor.
    for (char c : number)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return NAN;
    char *stop = nullptr;
    const double value = std::strtod(number.c_str(), &stop);
    if (stop != number.c_str() + number.size()) return NAN;
    return value;
}

std::string AddressCell(const SteadyRecord &record)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3d    %c", int(record.address), record.inUse == 1 ? 'Y' : 'N');
    return text;
}

std::string ValueCell(const SteadyRecord &record, int series)
{
    if (record.inUse != 1) return series == kSpeedSeries ? std::string() : std::string("------");
    if (std::isnan(record.Current(series))) return std::string();  // not measured yet
    char text[64];
    std::snprintf(text, sizeof text, series == kSpeedSeries ? "%f" : "%0.2f", double(record.Current(series)));
    return text;
}

void CopyTrend(const SteadyRecord &record, float *const traces[kSteadySeriesCount])
{
    for (int s = 0; s < kSteadySeriesCount; ++s) CopyRingInTimeOrder(record, s, traces[s]);
}

}  // namespace tav
