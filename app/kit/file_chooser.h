#pragma once
// File and folder choosers behind one replaceable interface, like the
// message boxes: tests answer them without a person.

#include <QString>

#include <optional>

class QWidget;

class IFileChooser {
public:
    virtual ~IFileChooser() = default;
    // The chosen path, or nothing when the person cancelled. filter is in
    // Qt's form ("Key files (*.key);;All files (*)").
    virtual std::optional<QString> OpenFile(QWidget* parent, const QString& caption, const QString& start,
                                            const QString& filter) = 0;
    virtual std::optional<QString> SaveFile(QWidget* parent, const QString& caption, const QString& start,
                                            const QString& filter) = 0;
    virtual std::optional<QString> Directory(QWidget* parent, const QString& caption, const QString& start) = 0;
};

// The chooser in use (never null). Setting null restores the default.
IFileChooser& FileChooser();
void SetFileChooser(IFileChooser* chooser);
