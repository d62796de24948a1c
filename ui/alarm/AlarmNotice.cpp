#include "ui/alarm/AlarmNotice.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <algorithm>
#include <cmath>

#include "ui/common/ApplicationIcon.h"

namespace tav::ui {

namespace {
std::function<void()> &SoundHook()
{
    static std::function<void()> hook;
    return hook;
}
}  // namespace

void AlarmNotice::SetSoundHook(std::function<void()> hook) { SoundHook() = std::move(hook); }

AlarmNotice::AlarmNotice(QWidget &window) : QObject(&window), window_(window) {}

AlarmNotice::~AlarmNotice()
{
    if (banner_)
        delete banner_.data();
}

QString AlarmNotice::Describe(const Alarm &a)
{
    QString line = QString::fromUtf8(SeverityText(a.severity)) + QStringLiteral("报警：地址 ") +
                   QString::number(a.address);
    if (!a.name.empty())
        line += QStringLiteral(" ") + QString::fromStdString(a.name);
    if (a.severity == AlarmSeverity::kOffline)
        return line + QStringLiteral(" 已离线");
    const QString axis = QString::fromUtf8(AxisText(a.axis));
    if (!axis.isEmpty())
        line += QStringLiteral(" ") + axis;
    line += QStringLiteral(" ") + QString::fromUtf8(QuantityText(a.quantity));
    if (std::isfinite(a.value))
        line += QStringLiteral(" %1").arg(a.value, 0, 'f', 2);
    if (std::isfinite(a.limit) && a.limit > 0)
        line += QStringLiteral("（限值 %1）").arg(a.limit, 0, 'f', 2);
    return line;
}

QString AlarmNotice::BannerText() const { return text_ ? text_->text() : QString(); }

void AlarmNotice::MakeBanner()
{
    // A window of its own, above every other, that never takes the keyboard
    // from what the operator is typing into.
    banner_ = new QFrame(&window_, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                       Qt::WindowDoesNotAcceptFocus);
    banner_->setObjectName(QStringLiteral("alarmBanner"));
    banner_->setAttribute(Qt::WA_ShowWithoutActivating);
    banner_->setAccessibleName(QStringLiteral("报警通知"));
    banner_->setFrameShape(QFrame::Box);
    banner_->setLineWidth(2);
    banner_->setAutoFillBackground(true);
    QPalette p = banner_->palette();
    p.setColor(QPalette::Window, QColor(0xd0, 0x10, 0x10));
    p.setColor(QPalette::WindowText, Qt::white);
    banner_->setPalette(p);
    auto *row = new QHBoxLayout(banner_);
    row->setContentsMargins(12, 8, 8, 8);
    text_ = new QLabel(banner_);
    text_->setObjectName(QStringLiteral("alarmBannerText"));
    QFont f = text_->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.3);
    text_->setFont(f);
    row->addWidget(text_, 1);
    auto *open = new QPushButton(QStringLiteral("报警列表"), banner_);
    open->setObjectName(QStringLiteral("alarmBannerOpen"));
    auto *close = new QPushButton(QStringLiteral("关闭"), banner_);
    close->setObjectName(QStringLiteral("alarmBannerClose"));
    for (QPushButton *b : {open, close}) {
        b->setAutoFillBackground(false);
        b->setPalette(QPalette());
        row->addWidget(b);
    }
    connect(open, &QPushButton::clicked, this, [this] {
        banner_->hide();
        emit openAlarms();
    });
    connect(close, &QPushButton::clicked, banner_.data(), &QWidget::hide);
}

void AlarmNotice::PlaceBanner()
{
    // Across the top of the screen the main window is on: where an operator
    // working in another window still sees it.
    QScreen *screen = window_.screen() ? window_.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    banner_->adjustSize();
    const int width = std::min(area.width(), std::max(banner_->sizeHint().width(), area.width() / 2));
    banner_->resize(width, banner_->sizeHint().height());
    banner_->move(area.x() + (area.width() - width) / 2, area.y());
}

void AlarmNotice::Announce(const std::vector<Alarm> &alarms, bool sound)
{
    if (alarms.empty())
        return;
    if (!banner_)
        MakeBanner();
    QString text = Describe(alarms.back());
    if (alarms.size() > 1)
        text += QStringLiteral("（另有 %1 条新报警）").arg(alarms.size() - 1);
    text_->setText(text);
    PlaceBanner();
    banner_->show();
    banner_->raise();
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        if (!tray_) {
            tray_ = new QSystemTrayIcon(ApplicationIcon(), this);
            tray_->setToolTip(QStringLiteral("Tavenor"));
            connect(tray_, &QSystemTrayIcon::messageClicked, this, &AlarmNotice::openAlarms);
            connect(tray_, &QSystemTrayIcon::activated, this, &AlarmNotice::openAlarms);
            tray_->show();
        }
        tray_->showMessage(QStringLiteral("Tavenor 报警"), text, QSystemTrayIcon::Critical, 15000);
    }
    QApplication::alert(&window_);
    if (sound) {
        if (SoundHook())
            SoundHook()();
        else
            QApplication::beep();
    }
}

void AlarmNotice::Settle(bool urgent)
{
    if (!urgent && banner_ && banner_->isVisible())
        banner_->hide();
}

}  // namespace tav::ui
