#pragma once
#include <QDialog>

#include "ui/common/ApplicationIcon.h"

namespace tav::ui {
constexpr int kAboutCommandId = 0x10;  // the About item of the window menu
}  // namespace tav::ui

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 100;
    explicit CAboutDlg(QWidget *parent = nullptr);
};
