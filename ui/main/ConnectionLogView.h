#pragma once
// Shows the connection log in the main window: fills the multi-line edit
// 1126 and makes the buttons 1144 "打开连接信息" (hides the X-axis spectrum
// frame 1025, which uncovers the log lying beneath it) and 1143
// "关闭连接信息" (shows the frame again) work.
//
// Window thread only. The main window calls OnConnectionEvent from its
// handler of event 0x46B and OnLogLine from that of 0x46F.
#include <QObject>
#include <QPointer>
#include <QString>

#include "core/net/ConnectionLog.h"

class QPlainTextEdit;
class QTextEdit;
class QWidget;

namespace tav {

class ConnectionLogView : public QObject {
    Q_OBJECT
public:
    // Finds the controls by their ids among the window's children; missing
    // ones are left out (the log still counts).
    ConnectionLogView(QWidget *window, const ConnectionTable &table);

public slots:
    void OnConnectionEvent(qint64 wParam, qint64 lParam);
    void OnLogLine(const QString &text);

    // The actions of the two buttons.
    void OpenLog();
    void CloseLog();

public:
    const ConnectionLog &Log() const { return log_; }

private:
    void ShowNewLines(int count);

    ConnectionLog log_;
    QPointer<QPlainTextEdit> plain_;
    QPointer<QTextEdit> rich_;
    QPointer<QWidget> edit_;
    QPointer<QWidget> frame_;
};

}  // namespace tav
