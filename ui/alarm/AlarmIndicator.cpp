#include "ui/alarm/AlarmIndicator.h"

#include <QPainter>
#include <QStyleOptionFocusRect>

namespace tav::ui {

namespace {
QString SeverityName(int worst)
{
    return worst ? QString::fromUtf8(SeverityText(AlarmSeverity(worst))) : QStringLiteral("无报警");
}
}  // namespace

AlarmIndicator::AlarmIndicator(QWidget *parent) : QPushButton(parent)
{
    setFlat(true);
    setAutoDefault(false);
    setCursor(Qt::PointingHandCursor);
    QFont f = font();
    f.setBold(true);
    setFont(f);
    blink_.setInterval(kBlinkMs);
    connect(&blink_, &QTimer::timeout, this, &AlarmIndicator::Blink);
    Show(IndicatorState{});
}

QColor AlarmIndicator::Background(const IndicatorState &state, bool lit)
{
    if (state.urgent && !lit)
        return QColor(0xff, 0xe0, 0x00);  // yellow: the blink's other phase
    switch (AlarmSeverity(state.worst)) {
    case AlarmSeverity::kDanger: return QColor(0xd0, 0x10, 0x10);
    case AlarmSeverity::kOffline: return QColor(0x20, 0x40, 0xc0);
    case AlarmSeverity::kAlert: return QColor(0xff, 0x90, 0x00);
    }
    return QColor(0x20, 0x90, 0x30);
}

QColor AlarmIndicator::Foreground(const IndicatorState &state, bool lit)
{
    if (state.urgent && !lit)
        return QColor(0xd0, 0x10, 0x10);
    return AlarmSeverity(state.worst) == AlarmSeverity::kAlert ? QColor(Qt::black) : QColor(Qt::white);
}

void AlarmIndicator::Show(const IndicatorState &state)
{
    const bool changed = state.active != state_.active || state.unacknowledged != state_.unacknowledged ||
                         state.worst != state_.worst || state.urgent != state_.urgent;
    state_ = state;
    const QString text = QStringLiteral("报警 %1 / 未确认 %2").arg(state.active).arg(state.unacknowledged);
    if (this->text() != text)
        setText(text);
    if (state.urgent && !blink_.isActive()) {
        blink_.start();
    } else if (!state.urgent && blink_.isActive()) {
        blink_.stop();
        lit_ = true;
    }
    if (!changed && !accessibleName().isEmpty())
        return;
    // A screen reader hears what the colour says.
    QString name = QStringLiteral("报警指示：") + text + QStringLiteral("，") + SeverityName(state.worst);
    if (state.urgent)
        name += QStringLiteral("，有未确认的危险或离线报警");
    setAccessibleName(name);
    setToolTip(name + QStringLiteral("（单击打开报警列表）"));
    update();
}

void AlarmIndicator::Blink()
{
    lit_ = !state_.urgent || !lit_;
    update();
}

QSize AlarmIndicator::sizeHint() const
{
    const QFontMetrics fm(font());
    // Room for three-digit counts, so that the menu bar does not jump.
    const QSize textSize = fm.size(Qt::TextSingleLine, QStringLiteral("报警 888 / 未确认 888"));
    return QSize(textSize.width() + 16, textSize.height() + 6);
}

void AlarmIndicator::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(rect(), Background(state_, lit_));
    p.setPen(Foreground(state_, lit_));
    p.setFont(font());
    p.drawText(rect(), Qt::AlignCenter, text());
    if (hasFocus()) {
        QStyleOptionFocusRect o;
        o.initFrom(this);
        o.rect = rect().adjusted(2, 2, -2, -2);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &o, &p, this);
    }
}

}  // namespace tav::ui
