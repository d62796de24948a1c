#pragma once
// Messages for the operator. Shown as non-blocking message boxes so that no
// worker event and no timer waits on the operator; tests install a hook that
// collects the texts instead.
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>

namespace tav::ui {

// When set, receives every message instead of a message box.
using MessageHook = std::function<void(const QString &text)>;
void SetMessageHook(MessageHook hook);

// Shows `text` in a message box with an OK button, without waiting.
void ShowMessage(QWidget *parent, const QString &text);

// Shows the texts one after the other, in order: each box opens when the
// one before it is closed, so that none hides another (the first states the
// cause, the later ones its consequences). Does not wait either.
void ShowMessagesInTurn(QWidget *parent, const QStringList &texts);

// Asks `text` with the buttons "是" and "否" ("否" the default, so that an
// Enter pressed by mistake changes nothing) and calls `onYes` if the answer
// is yes. Does not wait either: the answer comes through the event loop.
// Only one question per parent is open at a time; a second is not asked.
void AskQuestion(QWidget *parent, const QString &text, std::function<void()> onYes);

// When set, answers every question instead of a box. Without it but with a
// message hook, the question goes to the message hook and is answered no, so
// that a test never meets a box it did not expect.
using QuestionHook = std::function<bool(const QString &text)>;
void SetQuestionHook(QuestionHook hook);

}  // namespace tav::ui
