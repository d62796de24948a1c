#pragma once
// The frame a CWaveDisp draws into: it only shows the plot's kept image.
// Window thread only.
#include <QFrame>

namespace tav {

class CWaveDisp;

class PlotFrame : public QFrame {
    Q_OBJECT
public:
    // objectName and accessibleDescription become the id ("1006"); the
    // accessible name is the caption of the frame's group, if any.
    explicit PlotFrame(int controlId, QWidget *parent = nullptr,
                       const QString &accessibleName = QString());
    ~PlotFrame() override;

    int ControlId() const { return controlId_; }
    CWaveDisp *Plot() const { return plot_; }
    // The value under the mouse as shown, empty while the mouse is away.
    QString ReadoutText() const { return readout_; }
    // Shows the value at `pos` as the mouse would (tests, and the move event).
    void ShowReadoutAt(const QPoint &pos);
    // Whether a drawing could reach the screen now: shown, its window
    // neither minimised nor unexposed (covered, on a hidden desktop), and
    // not wholly covered by its siblings. The offscreen platform exposes
    // every shown window, so screenshots and tests still draw.
    bool CanBeSeen() const;
    // Repaints `changed` (the plot's image coordinates), or all of the
    // frame while a readout is shown over it, since its value moves on.
    void UpdateChanged(const QRect &changed);

signals:
    void doubleClicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    friend class CWaveDisp;
    int controlId_;
    CWaveDisp *plot_ = nullptr;  // set by CWaveDisp::Bind, cleared when it goes
    QString readout_;
    QPoint readoutAt_;
    bool hovering_ = false;  // the mouse is over the frame
};

}  // namespace tav
