#include "ui/overview/OverviewDlg.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "ui/common/ScreenFit.h"

namespace tav::ui {

namespace {
constexpr int kGap = 4;
const QColor kOfflineText(0x80, 0x80, 0x80);
const QColor kOfflineFill(0xe4, 0xe4, 0xe4);
const QColor kOfflineZone(0xc4, 0xc4, 0xc4);

QColor ColourOf(Mark mark, QColor none)
{
    const int32_t rgb = MarkColour(mark);
    return rgb < 0 ? none : QColor(QRgb(uint32_t(rgb)));
}

QString IpText(uint32_t ip)
{
    return QStringLiteral("%1.%2.%3.%4").arg(ip >> 24).arg((ip >> 16) & 255).arg((ip >> 8) & 255).arg(ip & 255);
}

QString Number(double v, int decimals)
{
    return std::isfinite(v) ? QString::number(v, 'f', decimals) : QStringLiteral("—");
}

// "2.8/7.1": the alert and danger limits of the severity velocity.
QString LimitsText(const Limits &l)
{
    if (!std::isfinite(l.alert) && !std::isfinite(l.danger))
        return QStringLiteral("限值 未设");
    return QStringLiteral("限值 %1/%2").arg(Number(l.alert, 1), Number(l.danger, 1));
}

QString AlarmText(const OverviewTile &t)
{
    if (t.activeAlarms == 0)
        return QStringLiteral("无报警");
    return QStringLiteral("报警 %1（%2）")
        .arg(t.activeAlarms)
        .arg(QString::fromUtf8(SeverityText(AlarmSeverity(t.worstSeverity))));
}
}  // namespace

OverviewTiles::OverviewTiles(const OverviewModel &model, QWidget *parent) : QWidget(parent), model_(model)
{
    setObjectName(QStringLiteral("overviewTiles"));
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

int OverviewTiles::Columns() const { return std::max(1, (width() + kGap) / (kMinTileWidth + kGap)); }

int OverviewTiles::Rows() const
{
    const int n = int(model_.Tiles().size());
    return std::max(1, (n + Columns() - 1) / Columns());
}

QSize OverviewTiles::minimumSizeHint() const
{
    return QSize(kMinTileWidth, Rows() * (kMinTileHeight + kGap));
}

QSize OverviewTiles::sizeHint() const
{
    return QSize(8 * (kMinTileWidth + kGap), 5 * (kMinTileHeight + kGap));
}

QRect OverviewTiles::TileRect(int index) const
{
    if (index < 0 || index >= int(model_.Tiles().size()))
        return {};
    const int cols = Columns(), rows = Rows();
    const int w = (width() - kGap * (cols - 1)) / cols;
    // A few machines keep the size 40 would have, rather than stretching.
    const int cells = std::max(rows, 5);
    const int h = std::max(kMinTileHeight, (height() - kGap * (cells - 1)) / cells);
    return QRect((index % cols) * (w + kGap), (index / cols) * (h + kGap), w, h);
}

int OverviewTiles::TileAt(QPoint at) const
{
    for (int i = 0; i < int(model_.Tiles().size()); ++i)
        if (TileRect(i).contains(at))
            return i;
    return -1;
}

void OverviewTiles::ModelChanged()
{
    // More machines than the rows hold: the rows grow and the page scrolls.
    if (int(model_.Tiles().size()) != shownCount_) {
        shownCount_ = int(model_.Tiles().size());
        setMinimumHeight(minimumSizeHint().height());
        updateGeometry();
    }
    update();
}

void OverviewTiles::resizeEvent(QResizeEvent *e)
{
    QWidget::resizeEvent(e);
    setMinimumHeight(minimumSizeHint().height());
}

void OverviewTiles::mouseReleaseEvent(QMouseEvent *e)
{
    const int i = e->button() == Qt::LeftButton ? TileAt(e->position().toPoint()) : -1;
    if (i >= 0)
        emit tileClicked(model_.Tiles()[size_t(i)].address);
    QWidget::mouseReleaseEvent(e);
}

void OverviewTiles::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    QFont bold = font();
    bold.setBold(true);
    QFont small = font();
    small.setPointSizeF(font().pointSizeF() > 0 ? font().pointSizeF() * 0.9 : 8);
    const int line = QFontMetrics(small).height();
    const auto &tiles = model_.Tiles();
    for (int i = 0; i < int(tiles.size()); ++i) {
        const OverviewTile &t = tiles[size_t(i)];
        const QRect r = TileRect(i);
        if (!r.intersects(p.clipBoundingRect().toAlignedRect()) && !p.clipBoundingRect().isEmpty())
            continue;
        const bool grey = !t.online;
        const QColor text = grey ? kOfflineText : palette().color(QPalette::WindowText);
        p.fillRect(r, grey ? kOfflineFill : palette().color(QPalette::Base));
        // The state's colour down the left edge and around the tile.
        const QColor state = ColourOf(t.mark, palette().color(QPalette::Mid));
        p.fillRect(QRect(r.left(), r.top(), 6, r.height()), state);
        p.setPen(QPen(state, 1));
        p.drawRect(r.adjusted(0, 0, -1, -1));
        const QRect body = r.adjusted(10, 3, -4, -3);
        int y = body.top();
        auto row = [&](const QString &s, const QFont &f, const QColor &c, Qt::Alignment align = Qt::AlignLeft) {
            p.setFont(f);
            p.setPen(c);
            const QRect at(body.left(), y, body.width(), QFontMetrics(f).height());
            p.drawText(at, int(align | Qt::AlignVCenter),
                       QFontMetrics(f).elidedText(s, Qt::ElideRight, body.width()));
            y += at.height();
        };
        row(t.name.empty() ? QStringLiteral("传感器 %1").arg(t.address) : QString::fromStdString(t.name), bold, text);
        row(QStringLiteral("地址 %1  %2")
                .arg(t.address)
                .arg(t.online ? IpText(t.peerIp) : QStringLiteral("离线")),
            small, text);
        // X, Y, Z: zone colour (grey while offline), zone letter and mm/s.
        const int cellW = (body.width() - 2 * 3) / 3, cellH = 2 * line;
        for (int axis = 0; axis < 3; ++axis) {
            const QRect cell(body.left() + axis * (cellW + 3), y + 1, cellW, cellH);
            const Mark m = MarkOf(t.zone[axis], 0);
            p.fillRect(cell, grey ? kOfflineZone : ColourOf(m, palette().color(QPalette::Button)));
            p.setPen(grey ? kOfflineText : QColor(Qt::black));
            p.setFont(small);
            p.drawText(cell.adjusted(3, 0, -3, -cellH / 2), int(Qt::AlignLeft | Qt::AlignVCenter),
                       QString(QChar(u'X' + axis)));
            p.drawText(cell.adjusted(3, 0, -3, -cellH / 2), int(Qt::AlignRight | Qt::AlignVCenter),
                       QString::fromUtf8(ZoneText(t.zone[axis])));
            p.drawText(cell.adjusted(0, cellH / 2, 0, 0), int(Qt::AlignCenter), Number(t.severity[axis], 2));
        }
        y += cellH + 3;
        // Beside the limits, the baseline where one was set.
        QString limits = LimitsText(t.limits[tav::WorstLimitAxis(t)]);
        if (std::isfinite(t.baseline[0]) || std::isfinite(t.baseline[1]) || std::isfinite(t.baseline[2]))
            limits += QStringLiteral("  基线 %1/%2/%3")
                          .arg(Number(t.baseline[0], 1), Number(t.baseline[1], 1), Number(t.baseline[2], 1));
        row(limits, small, text);
        QString speed = std::isfinite(t.speed) && t.speed > 0
                            ? QStringLiteral("%1%2 rpm").arg(std::lround(t.speed)).arg(t.speedFromRecord ? "" : "?")
                            : QStringLiteral("— rpm");
        row(speed + QStringLiteral("   ") + Number(t.temperature, 1) + QStringLiteral(" °C"), small, text);
        const QColor alarmColour = grey || t.activeAlarms == 0
                                       ? text
                                       : ColourOf(t.worstSeverity == int(AlarmSeverity::kDanger) ? Mark::kZoneD
                                                                                                 : Mark::kZoneC,
                                                  text)
                                             .darker(140);
        row(AlarmText(t), small, alarmColour);
        if (std::isfinite(t.daysToAlarm) && t.daysToAlarm >= 0) {
            // Worded as the live view's axis box words the same forecast.
            const QString level = t.forecastDanger ? QStringLiteral("危险") : QStringLiteral("预警");
            const long days = std::lround(t.daysToAlarm);
            row(days < 1 ? QStringLiteral("预计 1 天内达到%1").arg(level)
                         : QStringLiteral("预计 %1 天后达到%2").arg(days).arg(level),
                small, text);
        }
    }
}

COverviewDlg::COverviewDlg(QWidget *parent) : QDialog(parent)
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("总览"));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    setSizeGripEnabled(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 4);
    tiles_ = new OverviewTiles(model_);
    layout->addWidget(ScrollingPage(tiles_), 1);
    status_ = new QLabel;
    status_->setObjectName(QString::number(kStatusId));
    layout->addWidget(status_);
    setMinimumSize(4 * OverviewTiles::kMinTileWidth, 2 * OverviewTiles::kMinTileHeight + 60);
    connect(tiles_, &OverviewTiles::tileClicked, this, [this](int address) {
        note_.clear();
        emit sensorChosen(address);
    });
}

void COverviewDlg::ShowModel()
{
    int online = 0, alarmed = 0;
    for (const OverviewTile &t : model_.Tiles()) {
        online += t.online;
        alarmed += t.activeAlarms > 0;
    }
    const QString counts = QStringLiteral("共 %1 台  在线 %2 台  有报警 %3 台  （按严重程度排列，点击传感器在主窗口显示）")
                               .arg(model_.Tiles().size())
                               .arg(online)
                               .arg(alarmed);
    status_->setText(note_.isEmpty() ? counts : note_);
    note_.clear();
    tiles_->ModelChanged();
}

void COverviewDlg::ShowNote(const QString &text)
{
    note_ = text;
    status_->setText(text);
}

void COverviewDlg::OpenDialog()
{
    if (!sized_) {
        FitToScreen(this, QSize(1264, 680));
        sized_ = true;
    }
    show();
    raise();
    activateWindow();
}

// The close box comes here too (QDialog's closeEvent rejects); the station
// closing hides the window without either.
void COverviewDlg::reject()
{
    if (isVisible())
        emit closedByOperator();
    QDialog::reject();
}

}  // namespace tav::ui
