#include "app/AboutDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "app/Controls.h"

namespace tav::ui {

QIcon ApplicationIcon()
{
    QPixmap pm(64, 64);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(30, 90, 170));
    p.setPen(Qt::NoPen);
    p.drawEllipse(2, 2, 60, 60);
    QPainterPath trace;
    for (int x = 8; x <= 56; ++x) {
        double t = (x - 8) / 48.0;
        double y = 32 - 16 * std::sin(t * 6.283185307 * 2.5) * std::exp(-2.0 * t);
        if (x == 8)
            trace.moveTo(x, y);
        else
            trace.lineTo(x, y);
    }
    p.setPen(QPen(Qt::white, 3));
    p.setBrush(Qt::NoBrush);
    p.drawPath(trace);
    return QIcon(pm);
}

}  // namespace tav::ui

CAboutDlg::CAboutDlg(QWidget *parent) : QDialog(parent)
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("关于 Tavenor"));
    auto *layout = new QHBoxLayout(this);
    auto *icon = new QLabel;
    icon->setPixmap(tav::ui::ApplicationIcon().pixmap(48, 48));
    layout->addWidget(icon);
    auto *text = new QVBoxLayout;
    text->addWidget(new QLabel(QStringLiteral("Tavenor 1.0 版")));
    text->addWidget(new QLabel(QStringLiteral("三轴振动传感器网络监测站")));
    layout->addLayout(text);
    auto *ok = tav::ui::Tag(new QPushButton(QStringLiteral("确定")), 1, QStringLiteral("确定"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok);
}
