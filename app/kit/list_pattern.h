#pragma once
// CListPattern: the behaviour every list page shares, bound to a list box
// and its New, Edit and Delete buttons. One line per entry, sorted without
// regard to letter case (unless the list keeps its own order); New always
// enabled, Edit and Delete only with a selection; a double click is Edit;
// Delete asks nothing; after every change the list is refilled and the
// changed entry (or else the first line) selected.
//
// The page supplies the entries and the three actions:
//
//     m_list.entries = [this] { ... return std::vector<CListPattern::Entry>{...}; };
//     m_list.onNew = [this]() -> std::optional<QString> { ... return key of the new entry; };
//     m_list.onEdit = [this](const QString& key) -> std::optional<QString> { ... };
//     m_list.onDelete = [this](const QString& key) { ... };
//     m_list.Attach(m_ui.usersList, m_ui.newUserButton, m_ui.editUserButton, m_ui.deleteUserButton);
//
// A list whose lines hold tab-separated fields shows them in columns that
// start at the designed tab stops (in dialog units): SetTabStops before or
// after Attach. Every field shows whole: a column whose widest field
// reaches the next stop moves the columns after it to the right. The line
// text stays whole in the item, for tests and copy.
//
// A list that keeps its own order (Attach with sorted false) may have Up
// and Down buttons: they move the selected line one place, through the
// page's onMove, and keep it selected; each is enabled only with a
// selection that can move that way.
//
// An Edit takes the entry out of its map while its dialog runs (so the
// dialog's duplicate test never meets the entry itself) and stores the
// dialog's values back whatever the dialog's result: that is the page's
// onEdit, helped by TakeForEdit below.

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QListWidget;
class QPushButton;

// A name that becomes a map key: A-Z folded to a-z, every other byte kept.
std::string FoldKey(std::string_view name);
// The list boxes' order: letter case ignored, then byte order.
bool LessIgnoringCase(const QString& a, const QString& b);

// The item data of a line that shows one element of a configuration list
// (servers, rooms): the element's identity, and the way back to it.
template <class Element>
QString ElementKey(const Element& element)
{
    return QString::number(reinterpret_cast<std::uintptr_t>(&element));
}
template <class List>
auto FindElement(List& list, const QString& key) -> decltype(&*list.begin())
{
    for (auto& element : list)
        if (ElementKey(element) == key)
            return &element;
    return nullptr;
}

// Where a tab-stop list draws each column, in pixels from the left of its
// lines' text; empty for a list without tab stops.
std::vector<int> TabColumnStarts(const QListWidget* list);

class CListPattern : public QObject {
    Q_OBJECT
public:
    struct Entry {
        QString text; // the line shown
        QString key;  // the item data
    };

    explicit CListPattern(QObject* parent = nullptr) : QObject(parent) {}

    std::function<std::vector<Entry>()> entries;
    // Each answers the key to select afterwards, or nothing when nothing changed.
    std::function<std::optional<QString>()> onNew;
    std::function<std::optional<QString>(const QString& key)> onEdit;
    std::function<void(const QString& key)> onDelete;
    // Moves the entry at position from to position to (both within the list).
    std::function<void(int from, int to)> onMove;

    // Binds the widgets (a button may be null) and fills the list.
    void Attach(QListWidget* list, QPushButton* newButton, QPushButton* editButton, QPushButton* deleteButton,
                bool sorted = true);
    // Binds Up and Down (either may be null) to a list that keeps its order.
    void AttachOrderButtons(QPushButton* upButton, QPushButton* downButton);
    // Refills the list and selects key (or the first line).
    void Refill(const QString& select = {});
    // Refills the list and selects the line at row (none outside the list).
    void RefillAt(int row);
    // The selected line's key; empty without a selection.
    QString SelectedKey() const;
    // The selected line's row, -1 without a selection.
    int SelectedRow() const;
    QListWidget* List() const { return m_list; }
    // Column starts in dialog units after the first column, as designed.
    void SetTabStops(std::vector<int> dialogUnits);

    void New();
    void Edit();
    void Delete();
    void MoveUp() { Move(-1); }
    void MoveDown() { Move(+1); }

private:
    void Move(int delta);
    void UpdateButtons();

    QListWidget* m_list = nullptr;
    QPushButton* m_edit = nullptr;
    QPushButton* m_delete = nullptr;
    QPushButton* m_up = nullptr;
    QPushButton* m_down = nullptr;
    bool m_sorted = true;
    std::vector<int> m_tabStops;
};

// Takes map[key] out for the length of an edit and puts the edited value
// back under its (possibly new, folded) key whatever the dialog answered.
template <class Map, class Value>
class TakeForEdit {
public:
    TakeForEdit(Map& map, const typename Map::key_type& key) : m_map(map)
    {
        auto found = map.find(key);
        if (found != map.end()) {
            value = std::move(found->second);
            m_key = found->first;
            map.erase(found);
        }
    }
    // The entry's key after the edit.
    void PutBack(const typename Map::key_type& key) { m_map[key] = std::move(value); }
    const typename Map::key_type& OldKey() const { return m_key; }
    Value value{};

private:
    Map& m_map;
    typename Map::key_type m_key{};
};
