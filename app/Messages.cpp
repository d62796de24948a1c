#include "app/Messages.h"

#include <QMessageBox>

namespace tav::ui {

namespace {
MessageHook &Hook()
{
    static MessageHook hook;
    return hook;
}
}  // namespace

void SetMessageHook(MessageHook hook) { Hook() = std::move(hook); }

void ShowMessage(QWidget *parent, const QString &text)
{
    if (Hook()) {
        Hook()(text);
        return;
    }
    auto *box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Tavenor"), text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

}  // namespace tav::ui
