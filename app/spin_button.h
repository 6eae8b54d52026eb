#pragma once
// CSpinButton: the small up-down arrow pair that sits beside a number field
// and steps the number in it. The field stays an ordinary text field that
// the page's data exchange validates, so the range the arrows keep to (set
// here) and the range a typed value must meet (checked by the page) may
// differ, as they do on the designed pages.

#include <QWidget>

class QLineEdit;
class QToolButton;

class CSpinButton : public QWidget {
    Q_OBJECT

public:
    explicit CSpinButton(QWidget* parent = nullptr);

    // The field the arrows step; its Up and Down keys step it too.
    void SetBuddy(QLineEdit* buddy);
    QLineEdit* GetBuddy() const { return m_buddy; }
    void SetRange(int lower, int upper);
    int GetLower() const { return m_lower; }
    int GetUpper() const { return m_upper; }

    // One step up (+1) or down (-1) from the field's number, kept in range.
    // A field that holds no number in range starts from the nearer bound.
    void Step(int direction);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_buddy = nullptr;
    QToolButton* m_up;
    QToolButton* m_down;
    int m_lower = 0;
    int m_upper = 100;
};
