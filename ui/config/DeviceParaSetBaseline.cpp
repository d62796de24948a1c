// The baseline part of "设备参数配置": per axis the baseline, its date and
// the limits the class and the baseline give, and "设为基线", which takes a
// stretch of the durable history (the last 7 days unless chosen otherwise).
// The reading and the median run on the dialog's history reader thread.
#include <QDateTime>
#include <QDateTimeEdit>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <cmath>

#include "core/alarm/Zones.h"
#include "core/base/TextInput.h"
#include "core/health/BaselineEstimate.h"
#include "core/history/HistoryQueryThread.h"
#include "core/model/AlarmTypes.h"
#include "core/station/Station.h"
#include "ui/common/Controls.h"
#include "ui/config/DeviceParaSet.h"

using tav::ui::Tag;

namespace {

const char *const kBaselineHelp =
    "基线：机器正常运行时各轴的振动烈度（速度有效值，mm/s）。按 ISO 10816-3:2009 §5.4，未填写限值时"
    "预警 = 基线 + B/C 边界的 25%（不超过 B/C 的 1.25 倍），危险 = C/D 边界按预警超出 B/C 的比例提高"
    "（不超过 C/D 的 1.25 倍）；烈度偏离基线超过 B/C 边界的 25%（升高或降低）并持续报警延时，报“变化”。"
    "“设为基线”取所选时段历史数据中机器运行的各分钟平均值的中位数：有额定转速时转速高于额定转速的 10% 算运行，"
    "否则速度有效值高于 0.2 mm/s 算运行；运行不足 60 分钟则不设。";

QString Mms(double v) { return std::isfinite(v) ? QString::number(v, 'f', 2) : QStringLiteral("—"); }

}  // namespace

QWidget *CDeviceParaSet::BuildBaseline()
{
    auto *box = new QGroupBox(QStringLiteral("基线（速度有效值 mm/s）与生效的限值"));
    box->setToolTip(QString::fromUtf8(kBaselineHelp));
    auto *g = new QGridLayout(box);
    g->setVerticalSpacing(2);
    for (int axis = 0; axis < 3; ++axis) {
        baselineValue_[axis] = new QLabel;
        baselineValue_[axis]->setObjectName(QStringLiteral("baseline%1").arg(axis));
        derived_[axis] = new QLabel;
        derived_[axis]->setObjectName(QStringLiteral("derivedLimits%1").arg(axis));
        g->addWidget(new QLabel(QString::fromUtf8(tav::AxisText(axis))), axis, 0);
        g->addWidget(baselineValue_[axis], axis, 1);
        g->addWidget(derived_[axis], axis, 2);
    }
    baselineDate_ = new QLabel;
    baselineDate_->setObjectName(QStringLiteral("baselineDate"));
    baselineDate_->setWordWrap(true);
    g->addWidget(baselineDate_, 3, 0, 1, 3);
    auto *stretch = new QHBoxLayout;
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm");
    stretchFrom_ = Tag(new QDateTimeEdit, kIdBaselineFrom, QStringLiteral("基线时段 从"));
    stretchTo_ = Tag(new QDateTimeEdit, kIdBaselineTo, QStringLiteral("基线时段 到"));
    for (QDateTimeEdit *e : {stretchFrom_, stretchTo_}) {
        e->setDisplayFormat(format);
        e->setCalendarPopup(true);
    }
    const QDateTime now = QDateTime::currentDateTime();
    stretchTo_->setDateTime(now);
    stretchFrom_->setDateTime(now.addMSecs(-tav::kDefaultBaselineSpanMs));
    stretch->addWidget(new QLabel(QStringLiteral("从")));
    stretch->addWidget(stretchFrom_);
    stretch->addWidget(new QLabel(QStringLiteral("到")));
    stretch->addWidget(stretchTo_);
    auto *set = Tag(new QPushButton(QStringLiteral("设为基线")), kIdSetBaseline, QStringLiteral("设为基线"));
    auto *clear = Tag(new QPushButton(QStringLiteral("清除基线")), kIdClearBaseline, QStringLiteral("清除基线"));
    set->setAutoDefault(false);
    clear->setAutoDefault(false);
    set->setToolTip(QString::fromUtf8(kBaselineHelp));
    stretch->addWidget(set);
    stretch->addWidget(clear);
    g->addLayout(stretch, 4, 0, 1, 3);
    connect(set, &QPushButton::clicked, this, &CDeviceParaSet::RequestBaseline);
    connect(clear, &QPushButton::clicked, this, [this] {
        for (std::string &b : baseline_)
            b.clear();
        baselineSetAt_.clear();
        baselineFrom_.clear();
        baselineTo_.clear();
        baselineStatus_->setText(QStringLiteral("基线已清除，保存设置后生效"));
        UpdateClassHints();
    });
    return box;
}

void CDeviceParaSet::ShowBaseline()
{
    if (!baselineDate_)
        return;
    const tav::MachineForm form = tav::ReadMachineForm(Fields(), station_.Settings().capture.preS);
    bool any = false;
    for (int axis = 0; axis < 3; ++axis) {
        any |= !baseline_[axis].empty();
        baselineValue_[axis]->setText(baseline_[axis].empty()
                                          ? QStringLiteral("基线 未设")
                                          : QStringLiteral("基线 ") + Mms(QString::fromStdString(baseline_[axis]).toDouble()));
        // What the station will judge by once saved: explicit limits, else
        // those of the class and the baseline, else the class's boundaries.
        const tav::Limits l = form.ok ? tav::EffectiveLimits(form.machine, tav::kQuantityVelocity, axis) : tav::Limits{};
        derived_[axis]->setText(form.ok ? QStringLiteral("预警 ") + Mms(l.alert) + QStringLiteral("  危险 ") + Mms(l.danger)
                                        : QString());
    }
    baselineDate_->setText(any ? QStringLiteral("设定于 %1，取自 %2 至 %3")
                                     .arg(QString::fromStdString(baselineSetAt_), QString::fromStdString(baselineFrom_),
                                          QString::fromStdString(baselineTo_))
                               : QStringLiteral("未设基线：限值按等级边界"));
}

void CDeviceParaSet::RequestBaseline()
{
    const tav::MachineFields f = Fields();
    const auto address = tav::ParseInteger(f.address);
    if (!address || *address < 1 || *address > 65535) {
        baselineStatus_->setText(QStringLiteral("请先选择传感器地址"));
        return;
    }
    if (!EnsureHistory()) {
        baselineStatus_->setText(QStringLiteral("没有历史数据，无法设定基线"));
        return;
    }
    const int64_t from = stretchFrom_->dateTime().toMSecsSinceEpoch();
    const int64_t to = stretchTo_->dateTime().toMSecsSinceEpoch();
    if (!(to > from)) {
        baselineStatus_->setText(QStringLiteral("时段的结束应晚于开始"));
        return;
    }
    const auto rated = tav::ParseInteger(f.ratedSpeed);
    const double ratedRpm = rated && *rated > 0 ? double(*rated) : 0.0;
    auto result = std::make_shared<tav::BaselineEstimate>();
    tav::HistoryQuery query;
    query.request = ++baselineRequest_;
    query.address = int32_t(*address);
    query.fromUtcMs = from;
    query.toUtcMs = to;
    query.resolution = tav::HistoryResolution::kMinute;
    query.digest = [result, ratedRpm](tav::HistorySeries *minutes) {
        *result = tav::EstimateBaseline(*minutes, ratedRpm);
        *minutes = tav::HistorySeries{};  // the window needs only the result
    };
    baselineResult_ = result;
    baselineAddress_ = int32_t(*address);
    historyPending_.fetch_add(1);
    history_->RequestSeries(query);
    baselineStatus_->setText(QStringLiteral("正在读取历史数据…"));
}

void CDeviceParaSet::TakeBaseline(const tav::HistoryAnswer &answer)
{
    if (answer.query.request != baselineRequest_ || !baselineResult_)
        return;  // an older request's answer
    const std::shared_ptr<tav::BaselineEstimate> result = std::move(baselineResult_);
    if (!answer.ok) {
        baselineStatus_->setText(QString::fromStdString(answer.error));
        return;
    }
    const auto shown = tav::ParseInteger(Fields().address);
    if (!shown || *shown != baselineAddress_) {
        baselineStatus_->setText(QStringLiteral("已改选其他传感器，基线未设"));
        return;
    }
    if (!result->ok) {
        baselineStatus_->setText(QString::fromStdString(result->message));
        return;
    }
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm");
    for (int axis = 0; axis < 3; ++axis) {
        // Two decimals more than shown: the limits are derived from it.
        baseline_[axis] = std::isfinite(result->velocity[axis])
                              ? QString::number(result->velocity[axis], 'f', 4).toStdString()
                              : std::string();
    }
    baselineSetAt_ = QDateTime::currentDateTime().toString(format).toStdString();
    baselineFrom_ = QDateTime::fromMSecsSinceEpoch(answer.query.fromUtcMs).toString(format).toStdString();
    baselineTo_ = QDateTime::fromMSecsSinceEpoch(answer.query.toUtcMs).toString(format).toStdString();
    baselineStatus_->setText(QStringLiteral("基线取自 %1 分钟运行数据（停机 %2 分钟未计），保存设置后生效")
                                 .arg(result->runningMinutes)
                                 .arg(result->stoppedMinutes));
    UpdateClassHints();
}
