#include "ui/common/Messages.h"

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

namespace {
QuestionHook &Question()
{
    static QuestionHook hook;
    return hook;
}
}  // namespace

void SetQuestionHook(QuestionHook hook) { Question() = std::move(hook); }

void AskQuestion(QWidget *parent, const QString &text, std::function<void()> onYes)
{
    if (Question()) {
        if (Question()(text) && onYes)
            onYes();
        return;
    }
    if (Hook()) {
        Hook()(text);
        return;
    }
    const char *const kOpen = "tavQuestionOpen";
    if (parent && parent->property(kOpen).toBool())
        return;
    auto *box = new QMessageBox(QMessageBox::Question, QStringLiteral("Tavenor"), text,
                                QMessageBox::Yes | QMessageBox::No, parent);
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (parent)
        parent->setProperty(kOpen, true);
    QPointer<QWidget> owner(parent);
    QObject::connect(box, &QMessageBox::finished, box, [box, owner, onYes = std::move(onYes), kOpen](int) {
        if (owner)
            owner->setProperty(kOpen, false);
        if (box->clickedButton() == box->button(QMessageBox::Yes) && onYes)
            onYes();
    });
    box->open();
}

}  // namespace tav::ui
