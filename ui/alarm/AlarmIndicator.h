#pragma once
// The alarm indicator in the main window's menu bar: "报警 n / 未确认 m" on
// a background it paints itself in the colour of the worst listed alarm
// (green none, orange alert, red danger, blue offline), so that no style
// or platform theme can leave it grey. While a danger or offline alarm is
// unacknowledged it blinks between that colour and yellow. A click opens the
// alarm window. Window thread only.
#include <QPushButton>
#include <QTimer>

#include "core/alarm/AlarmWatch.h"

namespace tav::ui {

class AlarmIndicator : public QPushButton {
    Q_OBJECT
public:
    static constexpr int kBlinkMs = 500;

    explicit AlarmIndicator(QWidget *parent = nullptr);

    // Shows the counts and colours of `state`; starts or stops the blink.
    void Show(const IndicatorState &state);
    const IndicatorState &Shown() const { return state_; }
    // One step of the blink: the blink timer's, and the tests'.
    void Blink();
    bool Lit() const { return lit_; }

    // Background and text colours of a state; `lit` false is the blink's
    // other phase.
    static QColor Background(const IndicatorState &state, bool lit);
    static QColor Foreground(const IndicatorState &state, bool lit);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    IndicatorState state_;
    bool lit_ = true;
    QTimer blink_;
};

}  // namespace tav::ui
