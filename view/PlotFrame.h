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

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    friend class CWaveDisp;
    int controlId_;
    CWaveDisp *plot_ = nullptr;  // set by CWaveDisp::Bind, cleared when it goes
};

}  // namespace tav
