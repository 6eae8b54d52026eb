#pragma once
// CSimpleCombo: an edit field over a list that is always shown. Typing
// selects the first line that begins with the text, letter case ignored,
// and scrolls it into view; a click on a line puts it into the field; a
// double click or Enter on a line emits activated. The list may be sorted
// as the list boxes are (letter case ignored). In a .ui file, promote a
// QWidget to CSimpleCombo with the header "app/kit/simple_combo.h".

#include <QString>
#include <QStringList>
#include <QWidget>

class QLineEdit;
class QListWidget;

class CSimpleCombo : public QWidget {
    Q_OBJECT
public:
    explicit CSimpleCombo(QWidget* parent = nullptr);

    void SetSorted(bool sorted);
    void AddItem(const QString& text);
    void AddItems(const QStringList& texts);
    void Clear();
    int Count() const;
    QString ItemText(int index) const;

    // The field's text.
    QString Text() const;
    void SetText(const QString& text);
    // The selected line, -1 without one; selecting puts its text into the field.
    int CurrentIndex() const;
    void SetCurrentIndex(int index);
    // The first line that begins with prefix, letter case ignored; -1 when none.
    int FindPrefix(const QString& prefix) const;
    // The line that is text, letter case ignored; -1 when none.
    int FindExact(const QString& text) const;
    void RemoveItem(int index);

    QLineEdit* Edit() const { return m_edit; }
    QListWidget* List() const { return m_list; }

signals:
    void activated(int index);
    // The field's text changed, by typing or by a line picked.
    void textChanged(const QString& text);
    // The selected line changed (-1: none).
    void currentIndexChanged(int index);

private:
    void OnTextEdited(const QString& text);

    QLineEdit* m_edit;
    QListWidget* m_list;
    bool m_sorted = false;
};
