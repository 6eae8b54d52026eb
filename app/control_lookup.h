#pragma once
// Every control carries its designed number in the "controlId" property,
// while its object name says what it holds (urlCacheSizeEdit). Code that
// knows only the number, such as tests and the exchange with other
// processes, finds the control through FindControl.

#include <QVariant>
#include <QWidget>

inline constexpr const char* kControlIdProperty = "controlId";

// The control below root whose designed number is id, or null.
template <class T = QWidget>
T* FindControl(const QObject* root, int id)
{
    for (T* child : root->findChildren<T*>()) {
        QVariant value = child->property(kControlIdProperty);
        if (value.isValid() && value.toInt() == id)
            return child;
    }
    return nullptr;
}

inline int ControlId(const QObject* control)
{
    QVariant value = control->property(kControlIdProperty);
    return value.isValid() ? value.toInt() : 0;
}
