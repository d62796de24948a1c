#pragma once
// Controls are found by their numeric identifiers: the id is the widget's
// objectName and accessible description, the caption its accessible name.
#include <QAction>
#include <QString>
#include <QWidget>

namespace tav::ui {

template <class W>
W *Tag(W *widget, int id, const QString &accessibleName)
{
    widget->setObjectName(QString::number(id));
    widget->setAccessibleName(accessibleName);
    widget->setAccessibleDescription(QString::number(id));
    return widget;
}

inline QAction *TagAction(QAction *action, int id)
{
    action->setObjectName(QString::number(id));
    action->setData(id);
    return action;
}

template <class W = QWidget>
W *FindControl(const QObject *root, int id)
{
    return root->findChild<W *>(QString::number(id));
}

}  // namespace tav::ui
