#include "ui/main/AboutDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/common/ApplicationIcon.h"
#include "ui/common/Controls.h"

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
