#pragma once
#include <QDialog>
#include <QIcon>

namespace tav::ui {
constexpr int kAboutCommandId = 0x10;  // the About item of the window menu
// The application icon, drawn once (a vibration trace on a blue disc).
QIcon ApplicationIcon();
}  // namespace tav::ui

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 100;
    explicit CAboutDlg(QWidget *parent = nullptr);
};
