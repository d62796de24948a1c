#pragma once
// The analysis window's plot: one spectrum across a frequency span, linear
// or in decibels, with harmonic markers of the running speed, optional
// sidebands, cursors A and B, zooming by dragging and the value under the
// mouse. It draws the last result it was given; window thread only.
#include <QImage>
#include <QWidget>

#include <QStringList>
#include <vector>

#include "core/analysis/AnalysisScale.h"
#include "core/analysis/AnalysisWorker.h"
#include "core/analysis/FaultLines.h"

namespace tav::ui {

class AnalysisPlot : public QWidget {
    Q_OBJECT
public:
    explicit AnalysisPlot(QWidget *parent = nullptr);

    void SetResult(const analysis::Result &result);
    const analysis::Result &Shown() const { return result_; }
    void SetDecibels(bool on);
    void SetHarmonics(bool on);
    void SetSidebands(bool on, double spacingHz);
    // Bearing defect lines drawn over the spectrum, labelled with their
    // names ("BPFO×1"), each after its bearing's prefix (empty for a
    // machine with one bearing); sidebands are drawn without a label.
    void SetFaultLines(const std::vector<analysis::FaultLine> &lines, const QStringList &bearingPrefixes);
    // Labels of the defect lines within the span (one that would run into
    // its neighbour is not drawn).
    QStringList FaultLabels() const;
    // What a peak at `hz` is named after: one defect line's label, two
    // joined by " / " when both lie within the tolerance, or empty
    // (analysis::FaultNamesAt).
    QString FaultNameAt(double hz) const;
    // Highest frequency the span may reach: 10 kHz, the envelope's maximum.
    void SetSpanLimit(double hz);
    // Span in Hz, kept within 0 .. the limit and at least a few lines wide.
    void SetSpan(double fromHz, double toHz);
    void FullSpan() { SetSpan(0, limitHz_); }
    double FromHz() const { return fromHz_; }
    double ToHz() const { return toHz_; }

    struct Cursor {
        bool set = false;
        int line = 0;
        double frequency = 0, amplitude = 0;
    };
    const Cursor &CursorA() const { return cursor_[0]; }
    const Cursor &CursorB() const { return cursor_[1]; }
    // As a click (cursor A) or a shift-click (B) at column px: on the
    // column's largest line, or on a listed peak within two lines of it.
    void PlaceCursor(bool b, int px);
    // "A: 49.80 Hz 0.3120 g 1.00×  B: …  Δf 49.80 Hz"; empty without cursors.
    QString CursorText() const;
    // The value under column px: "49.80 Hz  0.3120 g  1.00×".
    QString ReadoutAt(int px) const;
    // Column of a frequency at the widget's size, for tests and the cursors.
    double ColumnOf(double hz) const { return Scale(width(), height()).ColumnOf(hz); }
    analysis::AnalysisScale Scale(int width, int height) const;
    // Draws the whole plot into a width x height area.
    void Render(QPainter &p, int width, int height);

signals:
    void spanChanged();
    void cursorsChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QString AmplitudeText(double amplitude) const;
    QString OrderText(double hz) const;
    const char *Unit() const;
    void RereadCursors();
    QString FaultLabel(const analysis::FaultLine &line) const;
    void DrawFaultLines(QPainter &p, const analysis::AnalysisScale &s);

    analysis::Result result_;
    bool decibels_ = false;
    bool harmonics_ = true;
    bool sidebands_ = false;
    double sidebandHz_ = 0;
    double fromHz_ = 0, toHz_ = analysis::kSpanHz;
    double limitHz_ = analysis::kSpanHz;
    std::vector<analysis::FaultLine> faults_;
    QStringList faultPrefixes_;
    Cursor cursor_[2];
    int dragFrom_ = -1, dragTo_ = -1;
    int mouseX_ = -1, mouseY_ = -1;
};

}  // namespace tav::ui
