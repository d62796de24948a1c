#include "app/Messages.h"

#include <QMessageBox>
#include <QPointer>

namespace tav::ui {

namespace {
MessageHook &Hook()
{
    static MessageHook hook;
    return hook;
}
}  // namespace

void SetMessageHook(MessageHook hook) { Hook() = std::move(hook); }

namespace {
QMessageBox *OpenBox(QWidget *parent, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Tavenor"), text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return box;
}

void OpenInTurn(QPointer<QWidget> parent, QStringList texts)
{
    if (texts.isEmpty())
        return;
    QMessageBox *box = OpenBox(parent, texts.takeFirst());
    if (!texts.isEmpty())
        QObject::connect(box, &QMessageBox::finished, box, [parent, texts] { OpenInTurn(parent, texts); });
}
}  // namespace

void ShowMessage(QWidget *parent, const QString &text)
{
    if (Hook()) {
        Hook()(text);
        return;
    }
    OpenBox(parent, text);
}

void ShowMessagesInTurn(QWidget *parent, const QStringList &texts)
{
    if (Hook()) {
        for (const QString &text : texts)
            Hook()(text);
        return;
    }
    OpenInTurn(parent, texts);
}

}  // namespace tav::ui
