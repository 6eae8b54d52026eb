#include "app/kit/list_pattern.h"

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

// A value holding a line break would make a tall row whose columns do not
// share a baseline: a list line shows each run of breaks (CR LF, or the
// separator the item view makes of LF) as one blank.
QString OneLine(const QString& text)
{
    const auto isBreak = [](QChar c) {
        return c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
    };
    QString line;
    line.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isBreak(text[i])) {
            line += text[i];
            continue;
        }
        line += QLatin1Char(' ');
        while (i + 1 < text.size() && isBreak(text[i + 1]))
            ++i;
    }
    return line;
}

// Draws every line of a list on one line; the item keeps its text whole.
class COneLineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->text = OneLine(option->text);
    }
};

// The fields of a line as columns: those past the last stop share the last
// column.
QStringList ColumnFields(const QString& line, std::size_t stops)
{
    QStringList fields = OneLine(line).split(QLatin1Char('\t'));
    const auto columns = static_cast<qsizetype>(stops) + 1;
    while (fields.size() > columns)
        fields[columns - 1] += QLatin1Char(' ') + fields.takeAt(columns);
    return fields;
}

// Paints a tab-separated line as columns that start at the designed tab
// stops. A stop moves the next field on; it never hides the field before
// it: a column whose widest field reaches the next stop pushes that column
// (and the ones after it) to the right, for every line alike, and the line
// grows wide enough for the list to scroll to its end.
class CTabStopDelegate : public COneLineDelegate {
public:
    CTabStopDelegate(std::vector<int> dialogUnits, QListWidget* list)
        : COneLineDelegate(list), m_stops(std::move(dialogUnits)), m_list(list)
    {
        QAbstractItemModel* model = list->model();
        for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
            connect(model, signal, this, [this] { Forget(); });
        connect(model, &QAbstractItemModel::modelReset, this, [this] { Forget(); });
        connect(model, &QAbstractItemModel::dataChanged, this, [this] { Forget(); });
    }

    // Where each column starts, in pixels from the text's left edge.
    const std::vector<int>& Starts() const
    {
        if (m_known && m_font == m_list->font())
            return m_starts;
        const QFontMetrics metrics(m_list->font());
        // A horizontal dialog unit is a quarter of the average character.
        const int unit = metrics.averageCharWidth();
        const int gap = metrics.horizontalAdvance(QLatin1Char(' ')) * 2;
        std::vector<int> widest(m_stops.size() + 1, 0);
        for (int row = 0; row < m_list->count(); ++row) {
            const QStringList fields = ColumnFields(m_list->item(row)->text(), m_stops.size());
            for (qsizetype i = 0; i < fields.size(); ++i) {
                int& w = widest[static_cast<std::size_t>(i)];
                w = std::max(w, metrics.horizontalAdvance(fields[i]));
            }
        }
        m_starts.assign(1, 0);
        for (std::size_t i = 0; i < m_stops.size(); ++i)
            m_starts.push_back(std::max(m_stops[i] * unit / 4, m_starts.back() + widest[i] + gap));
        m_width = m_starts.back() + widest.back();
        m_font = m_list->font();
        m_known = true;
        return m_starts;
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem base = option;
        initStyleOption(&base, index);
        const QStringList fields = ColumnFields(base.text, m_stops.size());
        base.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &base, painter, widget);

        const std::vector<int>& starts = Starts();
        const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &base, widget);
        painter->save();
        painter->setPen(option.palette.color(option.state & QStyle::State_Selected ? QPalette::HighlightedText
                                                                                   : QPalette::Text));
        for (qsizetype i = 0; i < fields.size(); ++i) {
            const int left = area.left() + starts[static_cast<std::size_t>(i)];
            const int width = option.fontMetrics.horizontalAdvance(fields[i]) + 1;
            painter->drawText(QRect(left, area.top(), width, area.height()), Qt::AlignLeft | Qt::AlignVCenter,
                              fields[i]);
        }
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = COneLineDelegate::sizeHint(option, index);
        Starts();
        // The text's margins as the style draws them, plus every column.
        const int margins = 2 * (m_list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_list) + 1);
        size.setWidth(m_width + margins);
        return size;
    }

private:
    void Forget() { m_known = false; }

    std::vector<int> m_stops;
    QListWidget* m_list;
    mutable bool m_known = false;
    mutable QFont m_font;
    mutable std::vector<int> m_starts;
    mutable int m_width = 0;
};

} // namespace

std::vector<int> TabColumnStarts(const QListWidget* list)
{
    if (const auto* delegate = dynamic_cast<const CTabStopDelegate*>(list->itemDelegate()))
        return delegate->Starts();
    return {};
}

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
    else
        m_list->setItemDelegate(new COneLineDelegate(m_list));
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
