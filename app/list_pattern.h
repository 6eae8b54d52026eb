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
//     m_list.Attach(m_ui.list1012, m_ui.button1139, m_ui.button1140, m_ui.button1141);
//
// A list whose lines hold tab-separated fields shows them in columns that
// start at the designed tab stops (in dialog units): SetTabStops before or
// after Attach. The line text stays whole in the item, for tests and copy.
//
// An Edit takes the entry out of its map while its dialog runs (so the
// dialog's duplicate test never meets the entry itself) and stores the
// dialog's values back whatever the dialog's result: that is the page's
// onEdit, helped by TakeForEdit below.

#include <QObject>
#include <QString>

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

    // Binds the widgets (a button may be null) and fills the list.
    void Attach(QListWidget* list, QPushButton* newButton, QPushButton* editButton, QPushButton* deleteButton,
                bool sorted = true);
    // Refills the list and selects key (or the first line).
    void Refill(const QString& select = {});
    // The selected line's key; empty without a selection.
    QString SelectedKey() const;
    QListWidget* List() const { return m_list; }
    // Column starts in dialog units after the first column, as designed.
    void SetTabStops(std::vector<int> dialogUnits);

    void New();
    void Edit();
    void Delete();

private:
    void UpdateButtons();

    QListWidget* m_list = nullptr;
    QPushButton* m_edit = nullptr;
    QPushButton* m_delete = nullptr;
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
