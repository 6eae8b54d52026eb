#pragma once
// CDataExchange: moves values between a dialog's controls and its members,
// in both directions, and validates them on the way back. A failed test
// shows the designed message (the texts below, word for word), puts the
// focus on the control that failed and ends the exchange; the dialog or
// page then stays open (UpdateData answers false).
//
// Numbers typed into an edit are read as designed: blanks and tabs may lead
// and trail; a signed field takes a leading sign; an unsigned field reads a
// leading minus as the 32-bit complement (so "-5" fails the range test, not
// the number test); a result of 0 counts only when the first character
// read is the digit 0; a number too large for 32 bits saturates and so
// fails its range test.

#include <QString>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

class QAbstractButton;
class CSimpleCombo;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QWidget;

inline constexpr const char* kMsgEnterInteger = "Please enter an integer.";
inline constexpr const char* kMsgEnterPositiveInteger = "Please enter a positive integer.";
inline constexpr const char* kMsgEnterIntegerBetween = "Please enter an integer between %1 and %2.";
inline constexpr const char* kMsgEnterNoMoreThan = "Please enter no more than %1 characters.";

// The number readers, exposed for their table test. Nothing when the text
// is not a number of that kind.
std::optional<std::int32_t> ParseDialogInt(std::string_view text);
std::optional<std::uint32_t> ParseDialogUInt(std::string_view text);

// Thrown by Fail; UpdateData catches it.
class CDataExchangeFailure : public std::runtime_error {
public:
    CDataExchangeFailure() : std::runtime_error("data exchange failed") {}
};

class CDataExchange {
public:
    CDataExchange(QWidget* dialog, bool saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}

    QWidget* const m_pDlgWnd;
    // true: controls -> members (with validation); false: members -> controls.
    const bool m_bSaveAndValidate;

    // The control the next failure focuses; every exchange sets it.
    void PrepareControl(QWidget* control) { m_lastControl = control; }
    // Shows text (when not empty), focuses the last control and throws.
    [[noreturn]] void Fail(const QString& text);

    // Edits.
    void Text(QLineEdit* edit, std::int32_t& value);
    void Text(QLineEdit* edit, std::uint32_t& value);
    void Text(QLineEdit* edit, std::string& value);
    void Text(QPlainTextEdit* edit, std::string& value);
    // Check boxes: 0 or 1 (2 is the third state of a tristate box).
    void Check(QAbstractButton* box, int& value);
    void Check(QAbstractButton* box, std::uint32_t& value);
    // An editable combo: filling selects the first item that begins with
    // the text, letter case ignored, else shows the text in its edit field;
    // reading takes the edit field's text.
    void ComboString(QComboBox* combo, std::string& value);
    void ComboString(CSimpleCombo* combo, std::string& value);
    // A list box's selected line: filling selects the first line that begins
    // with the text, letter case ignored (none when no line does); reading
    // takes the selected line's text, empty without a selection.
    void ListString(QListWidget* list, std::string& value);
    // A list box's selected row, -1 for none; filling with a row outside the
    // list selects nothing.
    void ListIndex(QListWidget* list, int& index);

    // Validation; they act only while saving and test the value just read.
    void MinMaxInt(std::int32_t value, std::int32_t min, std::int32_t max);
    void MinMaxUInt(std::uint32_t value, std::uint32_t min, std::uint32_t max);
    // Filling limits the last edit to max characters; saving refuses more.
    void MaxChars(const std::string& value, int max);

private:
    QWidget* m_lastControl = nullptr;
};
