#include "app/list_pattern.h"

#include "platform/ascii.h"

#include <QListWidget>
#include <QPushButton>

#include <algorithm>

std::string FoldKey(std::string_view name)
{
    std::string folded(name);
    for (char& c : folded)
        c = platform::LowerAscii(c);
    return folded;
}

bool LessIgnoringCase(const QString& a, const QString& b)
{
    int folded = a.compare(b, Qt::CaseInsensitive);
    if (folded != 0)
        return folded < 0;
    return a < b;
}

void CListPattern::Attach(QListWidget* list, QPushButton* newButton, QPushButton* editButton,
                          QPushButton* deleteButton, bool sorted)
{
    m_list = list;
    m_edit = editButton;
    m_delete = deleteButton;
    m_sorted = sorted;
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(m_list, &QListWidget::itemSelectionChanged, this, &CListPattern::UpdateButtons);
    connect(m_list, &QListWidget::itemDoubleClicked, this, [this] { Edit(); });
    if (newButton)
        connect(newButton, &QPushButton::clicked, this, &CListPattern::New);
    if (m_edit)
        connect(m_edit, &QPushButton::clicked, this, &CListPattern::Edit);
    if (m_delete)
        connect(m_delete, &QPushButton::clicked, this, &CListPattern::Delete);
    Refill();
}

void CListPattern::Refill(const QString& select)
{
    std::vector<Entry> lines = entries ? entries() : std::vector<Entry>{};
    if (m_sorted)
        std::stable_sort(lines.begin(), lines.end(),
                         [](const Entry& a, const Entry& b) { return LessIgnoringCase(a.text, b.text); });
    m_list->clear();
    int chosen = lines.empty() ? -1 : 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto* item = new QListWidgetItem(lines[i].text, m_list);
        item->setData(Qt::UserRole, lines[i].key);
        if (!select.isEmpty() && lines[i].key == select)
            chosen = static_cast<int>(i);
    }
    m_list->setCurrentRow(chosen);
    UpdateButtons();
}

QString CListPattern::SelectedKey() const
{
    QListWidgetItem* item = m_list ? m_list->currentItem() : nullptr;
    if (!item || !item->isSelected())
        return {};
    return item->data(Qt::UserRole).toString();
}

void CListPattern::UpdateButtons()
{
    bool selected = m_list->currentItem() && m_list->currentItem()->isSelected();
    if (m_edit)
        m_edit->setEnabled(selected);
    if (m_delete)
        m_delete->setEnabled(selected);
}

void CListPattern::New()
{
    if (!onNew)
        return;
    if (std::optional<QString> key = onNew())
        Refill(*key);
}

void CListPattern::Edit()
{
    QString key = SelectedKey();
    if (key.isNull() || !onEdit)
        return;
    if (std::optional<QString> changed = onEdit(key))
        Refill(*changed);
}

void CListPattern::Delete()
{
    QString key = SelectedKey();
    if (key.isNull() || !onDelete)
        return;
    onDelete(key);
    Refill();
}
