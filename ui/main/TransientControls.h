#pragma once
// Binds the main window's transient controls to the recorder and the
// replayer: buttons 1031 "采集", 1040 "暂停"/"继续", 1041 "停止", 1032
// "重放", track bar 1089, edits 1090 and 1091, timer 3 and the menu commands
// 32773 "打开" and 32775 "保存". Window thread only; the core does the work.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>

class CTavenorDlg;
class QComboBox;
class QLineEdit;
class QProgressDialog;
class QPushButton;
class QSlider;

namespace tav::ui {

class TransientControls : public QObject {
    Q_OBJECT
public:
    static constexpr int kOpenCommand = 32773;
    static constexpr int kSaveCommand = 32775;

    // Becomes a child of `dlg` and lives as long as it does.
    explicit TransientControls(CTavenorDlg &dlg);

    // Tests: replaces the file dialog of "打开"; returns the chosen path or
    // an empty string for a cancelled dialog.
    using FileChooser = std::function<QString(QWidget *parent, const QString &folder)>;
    static void SetFileChooser(FileChooser chooser);

    // Loads `path` (a .vdat) as "打开" does and starts its replay, as the
    // alarm window's capture link asks. Refused with a message while a
    // recording or a save runs: neither is disturbed.
    void OpenForReplay(const QString &path);

    bool Timer3Active() const { return timer3_.isActive(); }
    // The label in the connection area that names the replayed data: the
    // file loaded last, or "采集数据" for the recording just made.
    static constexpr int kIdReplaySource = 1093;
    int Timer3Interval() const { return timer3_.interval(); }

private:
    void StartRecording();
    void TogglePause();
    void Stop();
    void StartReplay();
    void Open();
    bool Load(const QString &path);
    void Save();
    void OnTimer3();
    void OnSaveProgress(int percent, bool finished);
    // Buttons, pause text and timer 3 as they are with acquisition idle.
    void ShowStopped();
    // Names the replayed data in the connection area, or hides the name.
    void ShowReplaySource(bool replaying);

    CTavenorDlg &dlg_;
    QPushButton *record_ = nullptr;
    QPushButton *pause_ = nullptr;
    QPushButton *stop_ = nullptr;
    QPushButton *replay_ = nullptr;
    QSlider *progress_ = nullptr;
    QLineEdit *recordedSeconds_ = nullptr;
    QLineEdit *replayedSeconds_ = nullptr;
    QComboBox *connectionList_ = nullptr;
    QString loadedFile_;  // the .vdat in the recording buffer; empty after a recording
    QPointer<QProgressDialog> saveProgress_;
    QTimer timer3_;
};

}  // namespace tav::ui
