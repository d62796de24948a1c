#include "net/ConnectionLogView.h"

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
    if (edit) {
        if (auto *area = qobject_cast<QAbstractScrollArea *>(edit))
            area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        // The log lies beneath the spectrum frame: hiding the frame shows it.
        if (frame_ && frame_->parentWidget() == edit->parentWidget())
            edit->stackUnder(frame_);
        edit->show();
    }
    // The dialog creates the two buttons hidden; here they become reachable.
    if (auto *open = window->findChild<QAbstractButton *>(QStringLiteral("1144"))) {
        connect(open, &QAbstractButton::clicked, this, &ConnectionLogView::OpenLog);
        open->show();
    }
    if (auto *close = window->findChild<QAbstractButton *>(QStringLiteral("1143"))) {
        connect(close, &QAbstractButton::clicked, this, &ConnectionLogView::CloseLog);
        close->show();
    }
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

void ConnectionLogView::OpenLog()
{
    if (frame_)
        frame_->hide();
}

void ConnectionLogView::CloseLog()
{
    if (frame_)
        frame_->show();
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
