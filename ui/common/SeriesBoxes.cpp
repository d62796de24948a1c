#include "ui/common/SeriesBoxes.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QScopedValueRollback>

#include "core/steady/SteadyViewerState.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"

namespace tav::ui {

namespace {
const char *const kParameterBoxNames[kSteadyParameterCount] = {"AR", "AP", "AKU", "VR", "VP", "DR", "DP"};
const char *const kAxisBoxNames[3] = {"X轴", "Y轴", "Z轴"};
const char *const kTooManySeries = "已经选中8个参数，请删除后再添加";
constexpr int kFirstSeriesBox = 1096;  // X AR; each axis takes 7 series boxes and its axis box
constexpr int kRpmBox = 1165;
}  // namespace

int SeriesBoxId(int series)
{
    if (series == kSpeedSeries) return kRpmBox;
    return kFirstSeriesBox + 8 * SeriesAxis(series) + SeriesParameter(series);
}

SeriesBoxes::SeriesBoxes(SteadyViewerState &state, QWidget *parent)
    : QGroupBox(QStringLiteral("显示参数"), parent), state_(state)
{
    auto *grid = new QGridLayout(this);
    for (int a = 0; a < 3; ++a) {
        const QString axisName = QString::fromUtf8(kAxisBoxNames[a]);
        axes_[a] = Tag(new QCheckBox(axisName), kFirstSeriesBox + 8 * a + kSteadyParameterCount, axisName);
        grid->addWidget(axes_[a], a, 0);
        // Every change counts, whether a click, the keyboard or an assistive
        // tool made it; changes the boxes make themselves are not the operator's.
        connect(axes_[a], &QCheckBox::toggled, this, [this, a](bool) {
            if (!syncing_) AxisClicked(a);
        });
        for (int p = 0; p < kSteadyParameterCount; ++p) {
            const int s = a * kSteadyParameterCount + p;
            series_[s] = Tag(new QCheckBox(QString::fromUtf8(kParameterBoxNames[p])), SeriesBoxId(s),
                             QString::fromStdString(SteadySeriesNames()[s]));
            grid->addWidget(series_[s], a, p + 1);
        }
    }
    series_[kSpeedSeries] = Tag(new QCheckBox(QStringLiteral("rpm")), kRpmBox, QStringLiteral("rpm"));
    grid->addWidget(series_[kSpeedSeries], 3, 0);
    for (int s = 0; s < kSteadySeriesCount; ++s)
        connect(series_[s], &QCheckBox::toggled, this, [this, s](bool ticked) {
            if (!syncing_) SeriesClicked(s, ticked);
        });
}

void SeriesBoxes::ShowSelection()
{
    const QScopedValueRollback<bool> syncing(syncing_, true);
    for (int s = 0; s < kSteadySeriesCount; ++s) series_[s]->setChecked(state_.trendSelected[s] == 1);
    for (int a = 0; a < 3; ++a) axes_[a]->setChecked(state_.axisChoice[a] == 1);
}

void SeriesBoxes::AxisClicked(int axis)
{
    state_.ChooseAxis(axis);
    ShowSelection();
    emit changed();
}

void SeriesBoxes::SeriesClicked(int series, bool ticked)
{
    if (!state_.SetSeriesSelected(series, ticked)) {
        ShowMessage(window(), QString::fromUtf8(kTooManySeries));
        const QScopedValueRollback<bool> syncing(syncing_, true);
        series_[series]->setChecked(false);
        return;
    }
    emit changed();
}

}  // namespace tav::ui
