#pragma once
#include <QComboBox>
#include <QString>

#include "core/net/ConnectionTable.h"

namespace tav::ui {
// A connected slot as the sensor lists show it: "  3 : 地址:17", or
// "地址:等待数据" until the sensor's first packet names its address.
QString ConnectionLine(int slot, const ConnectionRecord &rec);

// Combo box that announces the opening of its drop-down list, so that the
// list can be rebuilt from the connection table first.
class ConnectionCombo : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override;
signals:
    void aboutToShowPopup();
    // Before the tooltip shows, so that it can name what is current now.
    void aboutToShowToolTip();

protected:
    bool event(QEvent *e) override;
};

}  // namespace tav::ui
