#pragma once
// Message boxes go through one replaceable answerer, so tests (and the
// applet's host) answer them without a person and never sit in a modal
// loop. The default answerer shows a QMessageBox.

#include <QString>

class QWidget;

// Button sets and answers, with the numbers the pages compare against.
inline constexpr unsigned kMbOk = 0;
inline constexpr unsigned kMbOkCancel = 1;
inline constexpr unsigned kMbYesNo = 4;
inline constexpr unsigned kMbIconExclamation = 0x30;
inline constexpr unsigned kMbButtonMask = 0x0F;
// The second button (No of a Yes/No box) is the default.
inline constexpr unsigned kMbDefButton2 = 0x100;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

class IMessageBoxes {
public:
    virtual ~IMessageBoxes() = default;
    // Shows text with the buttons of type; returns the answer (kIdOk, ...).
    // helpId is the string id the text came from, 0 when none.
    virtual int Show(QWidget* parent, const QString& text, unsigned type, unsigned helpId) = 0;
};

// The answerer in use (never null). Setting null restores the default.
IMessageBoxes& MessageBoxes();
void SetMessageBoxes(IMessageBoxes* answerer);

// The product name (string 0xE000), the title of every message box.
QString ApplicationTitle();

// Shows a message box through the answerer in use.
int VelmoraMessageBox(QWidget* parent, const QString& text, unsigned type = kMbOk, unsigned helpId = 0);
// The same with the text of a string-table entry, which is also the help id.
int VelmoraMessageBox(QWidget* parent, unsigned stringId, unsigned type = kMbOk);
// The text of a string-table entry, empty when the table has none.
QString LoadQString(unsigned stringId);
