#include "app/list_pattern.h"

#include "platform/ascii.h"

#include <QApplication>
#include <QFontMetrics>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>

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

namespace {

// Paints a tab-separated line as columns, each field clipped where the
// next column starts, so long fields never push later ones out of line.
class CTabStopDelegate : public QStyledItemDelegate {
public:
    CTabStopDelegate(std::vector<int> dialogUnits, QObject* parent)
        : QStyledItemDelegate(parent), m_stops(std::move(dialogUnits))
    {
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem base = option;
        initStyleOption(&base, index);
        QStringList fields = base.text.split(QLatin1Char('\t'));
        // Fields past the last stop share the last column.
        const int columns = static_cast<int>(m_stops.size()) + 1;
        while (fields.size() > columns)
            fields[columns - 1] += QLatin1Char(' ') + fields.takeAt(columns);
        base.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &base, painter, widget);

        // A horizontal dialog unit is a quarter of the average character.
        const int unit = option.fontMetrics.averageCharWidth();
        const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &base, widget);
        painter->save();
        painter->setPen(option.palette.color(option.state & QStyle::State_Selected ? QPalette::HighlightedText
                                                                                   : QPalette::Text));
        for (int i = 0; i < fields.size(); ++i) {
            int left = area.left() + (i == 0 ? 0 : ColumnStart(i - 1, unit));
            int right = i + 1 < columns ? area.left() + ColumnStart(i, unit) - unit : area.right();
            QRect cell(left, area.top(), std::max(0, right - left), area.height());
            painter->drawText(cell, Qt::AlignLeft | Qt::AlignVCenter,
                              option.fontMetrics.elidedText(fields[i], Qt::ElideRight, cell.width()));
        }
        painter->restore();
    }

private:
    int ColumnStart(int stop, int unit) const { return m_stops[static_cast<std::size_t>(stop)] * unit / 4; }

    std::vector<int> m_stops;
};

} // namespace

void CListPattern::SetTabStops(std::vector<int> dialogUnits)
{
    m_tabStops = std::move(dialogUnits);
    if (m_list && !m_tabStops.empty())
        m_list->setItemDelegate(new CTabStopDelegate(m_tabStops, m_list));
}

void CListPattern::Attach(QListWidget* list, QPushButton* newButton, QPushButton* editButton,
                          QPushButton* deleteButton, bool sorted)
{
    m_list = list;
    m_edit = editButton;
    m_delete = deleteButton;
    m_sorted = sorted;
    if (!m_tabStops.empty())
        m_list->setItemDelegate(new CTabStopDelegate(m_tabStops, m_list));
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

void CListPattern::AttachOrderButtons(QPushButton* upButton, QPushButton* downButton)
{
    m_up = upButton;
    m_down = downButton;
    if (m_up)
        connect(m_up, &QPushButton::clicked, this, &CListPattern::MoveUp);
    if (m_down)
        connect(m_down, &QPushButton::clicked, this, &CListPattern::MoveDown);
    if (m_list)
        UpdateButtons();
}

void CListPattern::RefillAt(int row)
{
    Refill();
    if (row >= 0 && row < m_list->count())
        m_list->setCurrentRow(row);
    else
        m_list->setCurrentRow(-1);
    UpdateButtons();
}

int CListPattern::SelectedRow() const
{
    QListWidgetItem* item = m_list ? m_list->currentItem() : nullptr;
    return item && item->isSelected() ? m_list->row(item) : -1;
}

void CListPattern::Move(int delta)
{
    int from = SelectedRow();
    int to = from + delta;
    if (from < 0 || to < 0 || to >= m_list->count() || !onMove)
        return;
    onMove(from, to);
    RefillAt(to);
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
    const int row = SelectedRow();
    if (m_up)
        m_up->setEnabled(row > 0);
    if (m_down)
        m_down->setEnabled(row >= 0 && row + 1 < m_list->count());
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
