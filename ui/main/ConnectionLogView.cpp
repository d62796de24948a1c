#include "ui/main/ConnectionLogView.h"

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QAbstractScrollArea>
#include <QTextEdit>
#include <QWidget>

#include <ctime>

namespace tav {

ConnectionLogView::ConnectionLogView(QWidget *window, const ConnectionTable &table)
    : QObject(window), log_(table)
{
    QWidget *edit = window->findChild<QWidget *>(QStringLiteral("1126"));
    plain_ = qobject_cast<QPlainTextEdit *>(edit);
    rich_ = qobject_cast<QTextEdit *>(edit);
    frame_ = window->findChild<QWidget *>(QStringLiteral("1025"));
    if (plain_) {
        plain_->setReadOnly(true);
        plain_->setMaximumBlockCount(int(ConnectionLog::kMaxLines));
    } else if (rich_) {
        rich_->setReadOnly(true);
        rich_->setAcceptRichText(false);
        rich_->document()->setMaximumBlockCount(int(ConnectionLog::kMaxLines));
    }
    edit_ = edit;
    if (auto *area = qobject_cast<QAbstractScrollArea *>(edit))
        area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    if (auto *open = window->findChild<QAbstractButton *>(QStringLiteral("1144")))
        connect(open, &QAbstractButton::clicked, this, &ConnectionLogView::OpenLog);
    if (auto *close = window->findChild<QAbstractButton *>(QStringLiteral("1143")))
        connect(close, &QAbstractButton::clicked, this, &ConnectionLogView::CloseLog);
}

void ConnectionLogView::OnConnectionEvent(qint64 wParam, qint64 lParam)
{
    ShowNewLines(log_.OnConnectionEvent(wParam, lParam, std::time(nullptr)));
}

void ConnectionLogView::OnLogLine(const QString &text)
{
    log_.AppendNote(text.toStdString(), std::time(nullptr));
    ShowNewLines(1);
}

// The log shares the spectrum frame's place and lies beneath it. It is kept
// hidden while covered, so that it takes no focus and no room of its own.
void ConnectionLogView::OpenLog()
{
    if (frame_)
        frame_->hide();
    if (edit_) {
        edit_->show();
        edit_->raise();
    }
}

void ConnectionLogView::CloseLog()
{
    if (frame_) {
        frame_->show();
        frame_->raise();
    }
    if (edit_)
        edit_->hide();
}

void ConnectionLogView::ShowNewLines(int count)
{
    const auto &lines = log_.Lines();
    for (size_t i = lines.size() - size_t(count); i < lines.size(); ++i) {
        QString line = QString::fromStdString(lines[i]);
        if (plain_) {
            plain_->appendPlainText(line);
        } else if (rich_) {
            rich_->append(line);
        }
    }
}

}  // namespace tav
