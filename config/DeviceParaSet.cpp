#include "config/DeviceParaSet.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "app/Controls.h"

using tav::ui::Tag;

CDeviceParaSet::CDeviceParaSet(QWidget *parent) : QDialog(parent)
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("设备参数配置"));
    auto *grid = new QGridLayout(this);
    grid->addWidget(Tag(new QListWidget, kIdList, QStringLiteral("设备参数配置 列表")), 0, 0, 4, 1);
    grid->addWidget(new QLabel(QStringLiteral("传感器地址")), 0, 1);
    grid->addWidget(Tag(new QComboBox, kIdSensorAddress, QStringLiteral("传感器地址")), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("工作模式")), 1, 1);
    grid->addWidget(Tag(new QComboBox, kIdWorkMode, QStringLiteral("工作模式")), 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("额定转速")), 2, 1);
    grid->addWidget(Tag(new QLineEdit, kIdRatedSpeed, QStringLiteral("额定转速")), 2, 2);
    auto *save = Tag(new QPushButton(QStringLiteral("保存设置")), kIdSaveSettings, QStringLiteral("保存设置"));
    save->setAutoDefault(false);
    grid->addWidget(save, 3, 2);
    auto *ok = Tag(new QPushButton(QStringLiteral("确定")), kIdOk, QStringLiteral("确定"));
    auto *cancel = Tag(new QPushButton(QStringLiteral("取消")), kIdCancel, QStringLiteral("取消"));
    grid->addWidget(ok, 4, 1);
    grid->addWidget(cancel, 4, 2);
    // OK and Cancel only close: nothing here changes the table or its file.
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}
