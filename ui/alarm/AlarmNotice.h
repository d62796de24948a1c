#pragma once
// Tells an operator who is not looking at the main window that a danger or
// offline alarm has come: a banner that stays on top of every window without
// taking the keyboard, a message of the system tray where there is one, the
// taskbar's attention mark, and a sound unless station.toml turns it off.
// The banner stays until it is closed or no unacknowledged danger or offline
// alarm is left. Window thread only; owned by the main window's alarm duties.
#include <QFrame>
#include <QObject>
#include <QPointer>
#include <functional>
#include <vector>

#include "core/model/AlarmTypes.h"


class QLabel;
class QSystemTrayIcon;
class QWidget;

namespace tav::ui {

class AlarmNotice : public QObject {
    Q_OBJECT
public:
    // `window` is the main window: the banner's owner and the taskbar entry.
    explicit AlarmNotice(QWidget &window);
    ~AlarmNotice() override;

    // Announces newly raised danger and offline alarms (oldest first); with
    // `sound`, also audibly.
    void Announce(const std::vector<Alarm> &alarms, bool sound);
    // `urgent` false: nothing is left to announce, the banner goes.
    void Settle(bool urgent);

    // The banner, null before the first announcement (tests).
    QFrame *Banner() const { return banner_; }
    QString BannerText() const;

    // Tests: replaces the sound, so that a run can tell it was made.
    static void SetSoundHook(std::function<void()> hook);

    // The line that names an alarm: "危险报警：地址 7 1号风机 X轴 速度有效值… 6.00（限值 4.50）".
    static QString Describe(const Alarm &a);

signals:
    // The operator asked to see the alarm list (banner button, tray).
    void openAlarms();

private:
    void MakeBanner();
    void PlaceBanner();

    QWidget &window_;
    QPointer<QFrame> banner_;
    QLabel *text_ = nullptr;
    QSystemTrayIcon *tray_ = nullptr;
};

}  // namespace tav::ui
