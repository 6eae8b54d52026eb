#include "app/kit/simple_combo.h"

#include "app/kit/list_pattern.h"

#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

CSimpleCombo::CSimpleCombo(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("field"));
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("lines"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    layout->addWidget(m_edit);
    layout->addWidget(m_list, 1);
    setFocusProxy(m_edit);
    connect(m_edit, &QLineEdit::textEdited, this, &CSimpleCombo::OnTextEdited);
    connect(m_edit, &QLineEdit::textChanged, this, &CSimpleCombo::textChanged);
    connect(m_list, &QListWidget::itemSelectionChanged, this, [this] { emit currentIndexChanged(CurrentIndex()); });
    connect(m_list, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { SetCurrentIndex(m_list->row(item)); });
    connect(m_list, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
        SetCurrentIndex(m_list->row(item));
        emit activated(m_list->row(item));
    });
}

void CSimpleCombo::SetSorted(bool sorted)
{
    m_sorted = sorted;
    if (sorted)
        AddItems({});
}

void CSimpleCombo::AddItem(const QString& text) { AddItems({text}); }

void CSimpleCombo::AddItems(const QStringList& texts)
{
    QStringList all;
    for (int i = 0; i < m_list->count(); ++i)
        all << m_list->item(i)->text();
    all << texts;
    if (m_sorted)
        std::stable_sort(all.begin(), all.end(), LessIgnoringCase);
    const QString field = m_edit->text();
    QSignalBlocker block(m_list);
    m_list->clear();
    m_list->addItems(all);
    m_edit->setText(field);
}

void CSimpleCombo::Clear()
{
    m_list->clear();
    m_edit->clear();
}

int CSimpleCombo::Count() const { return m_list->count(); }

QString CSimpleCombo::ItemText(int index) const
{
    QListWidgetItem* item = m_list->item(index);
    return item ? item->text() : QString();
}

QString CSimpleCombo::Text() const { return m_edit->text(); }

void CSimpleCombo::SetText(const QString& text)
{
    m_edit->setText(text);
    m_list->clearSelection();
    m_list->setCurrentRow(-1);
}

int CSimpleCombo::CurrentIndex() const
{
    QListWidgetItem* item = m_list->currentItem();
    return item && item->isSelected() ? m_list->row(item) : -1;
}

void CSimpleCombo::SetCurrentIndex(int index)
{
    if (index < 0 || index >= m_list->count()) {
        m_list->clearSelection();
        m_list->setCurrentRow(-1);
        return;
    }
    m_list->setCurrentRow(index);
    m_list->scrollToItem(m_list->item(index));
    m_edit->setText(m_list->item(index)->text());
}

int CSimpleCombo::FindPrefix(const QString& prefix) const
{
    for (int i = 0; i < m_list->count(); ++i)
        if (m_list->item(i)->text().startsWith(prefix, Qt::CaseInsensitive))
            return i;
    return -1;
}

int CSimpleCombo::FindExact(const QString& text) const
{
    for (int i = 0; i < m_list->count(); ++i)
        if (m_list->item(i)->text().compare(text, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

void CSimpleCombo::RemoveItem(int index)
{
    delete m_list->takeItem(index);
}

// The field keeps what was typed; the list only follows it.
void CSimpleCombo::OnTextEdited(const QString& text)
{
    int found = text.isEmpty() ? -1 : FindPrefix(text);
    if (found < 0) {
        m_list->clearSelection();
        m_list->setCurrentRow(-1);
        return;
    }
    m_list->setCurrentRow(found);
    m_list->scrollToItem(m_list->item(found));
}
