#pragma once
// Control ids on widgets: object name "IDC_<id>" and property "controlId".
#include <QObject>
#include <QString>
#include <QVariant>

inline void SetControlId(QObject* o, int id) {
    o->setObjectName(QStringLiteral("IDC_%1").arg(id));
    o->setProperty("controlId", id);
}

template <typename T> T* FindControl(QObject* root, int id) {
    return root->findChild<T*>(QStringLiteral("IDC_%1").arg(id));
}
