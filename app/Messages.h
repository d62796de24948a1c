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

}  // namespace tav::ui
