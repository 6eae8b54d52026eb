#pragma once
// Every control carries its designed number in the "controlId" property,
// while its object name says what it holds (urlCacheSizeEdit). Code that
// knows only the number, such as tests and the exchange with other
// processes, finds the control through FindControl.

#include <QVariant>
#include <QWidget>

inline constexpr const char* kControlIdProperty = "controlId";

// The control below root whose designed number is id, or null. Numbers are
// unique within one page, not within a sheet, whose pages are all built: a
// control in view is preferred, as it is the one a person means.
template <class T = QWidget>
T* FindControl(const QObject* root, int id)
{
    T* hidden = nullptr;
    for (T* child : root->findChildren<T*>()) {
        QVariant value = child->property(kControlIdProperty);
        if (!value.isValid() || value.toInt() != id)
            continue;
        if (child->isVisible())
            return child;
        if (!hidden)
            hidden = child;
    }
    return hidden;
}

inline int ControlId(const QObject* control)
{
    QVariant value = control->property(kControlIdProperty);
    return value.isValid() ? value.toInt() : 0;
}
