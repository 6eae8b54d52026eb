#pragma once
// CSpinButton: the up-down arrows beside an edit. The arrows step the
// number in the edit within their own range, while the edit still takes any
// text and the page's data exchange validates what was typed against the
// typed range (the two ranges differ as designed, e.g. arrows 0..32767,
// typed 0..32000). In a .ui file, promote a QWidget to CSpinButton with the
// header "app/kit/spin_button.h", then SetBuddy and SetRange in OnInitDialog.

#include <QWidget>

class QLineEdit;
class QToolButton;

class CSpinButton : public QWidget {
    Q_OBJECT
public:
    explicit CSpinButton(QWidget* parent = nullptr);

    void SetBuddy(QLineEdit* buddy) { m_buddy = buddy; }
    QLineEdit* Buddy() const { return m_buddy; }
    void SetRange(int lower, int upper);
    int Lower() const { return m_lower; }
    int Upper() const { return m_upper; }

    // One step up (+1) or down (-1): a text that is no number counts as the
    // lower end; the result stays within the range.
    void Step(int delta);

    QToolButton* UpButton() const { return m_up; }
    QToolButton* DownButton() const { return m_down; }

private:
    QLineEdit* m_buddy = nullptr;
    QToolButton* m_up = nullptr;
    QToolButton* m_down = nullptr;
    int m_lower = 0;
    int m_upper = 100;
};
