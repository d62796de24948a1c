#include "ui/common/ConnectionLine.h"

#include <QEvent>

namespace tav::ui {

QString ConnectionLine(int slot, const ConnectionRecord &rec)
{
    const int64_t address = ListedAddress(rec);
    if (address == kAddressPending)
        return QString::asprintf("%3d : 地址:等待数据", slot);
    return QString::asprintf("%3d : 地址:%d", slot, int(address));
}

void ConnectionCombo::showPopup()
{
    emit aboutToShowPopup();
    QComboBox::showPopup();
}

bool ConnectionCombo::event(QEvent *e)
{
    if (e->type() == QEvent::ToolTip)
        emit aboutToShowToolTip();
    return QComboBox::event(e);
}

}  // namespace tav::ui
