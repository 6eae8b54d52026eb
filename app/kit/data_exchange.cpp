#include "app/kit/data_exchange.h"

#include "app/kit/message_box.h"
#include "app/kit/simple_combo.h"
#include "platform/ascii.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>

#include <algorithm>
#include <limits>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The list boxes' and combos' own search: the first item that begins with
// value, letter case ignored; -1 when none (an empty value finds the first).
template <class TextAt>
int FindPrefix(int count, TextAt textAt, const std::string& value)
{
    for (int i = 0; i < count; ++i) {
        QByteArray item = textAt(i).toUtf8();
        std::string_view head(item.constData(), std::min<std::size_t>(item.size(), value.size()));
        if (head.size() == value.size() && platform::EqualsIgnoringCase(head, value))
            return i;
    }
    return -1;
}

int SelectedRow(const QListWidget* list)
{
    QListWidgetItem* item = list->currentItem();
    return item && item->isSelected() ? list->row(item) : -1;
}

// A row outside the list selects nothing.
void SelectRow(QListWidget* list, int row)
{
    if (row >= 0 && row < list->count()) {
        list->setCurrentRow(row);
        list->scrollToItem(list->item(row));
    } else {
        list->clearSelection();
        list->setCurrentRow(-1);
    }
}

// The magnitude of the digits at text[at...], saturated, and where they end.
std::uint64_t ReadDigits(std::string_view text, std::size_t& at)
{
    std::uint64_t value = 0;
    constexpr std::uint64_t kCap = std::uint64_t{1} << 40;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (value < kCap)
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
        ++at;
    }
    return value;
}

// Shared by both readers: skips blanks, reads an optional sign and the
// digits, and insists on trailing blanks only. first is the first
// character read after the blanks.
bool ReadNumber(std::string_view text, bool& negative, std::uint64_t& magnitude)
{
    std::size_t at = 0;
    while (at < text.size() && IsBlank(text[at]))
        ++at;
    char first = at < text.size() ? text[at] : '\0';
    negative = false;
    if (first == '-' || first == '+') {
        negative = first == '-';
        ++at;
    }
    std::size_t digitsAt = at;
    magnitude = ReadDigits(text, at);
    if (at == digitsAt)
        return false;
    while (at < text.size() && IsBlank(text[at]))
        ++at;
    if (at != text.size())
        return false;
    return magnitude != 0 || first == '0';
}

QString Arg(const char* pattern, const QString& one, const QString& two = {})
{
    QString text = QString::fromLatin1(pattern);
    text.replace(QLatin1String("%1"), one);
    if (!two.isNull())
        text.replace(QLatin1String("%2"), two);
    return text;
}

std::string ToStd(const QString& text) { return text.toStdString(); }

} // namespace

std::optional<std::int32_t> ParseDialogInt(std::string_view text)
{
    bool negative = false;
    std::uint64_t magnitude = 0;
    if (!ReadNumber(text, negative, magnitude))
        return std::nullopt;
    if (negative)
        return magnitude > std::uint64_t{1} << 31 ? std::numeric_limits<std::int32_t>::min()
                                                   : static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
    return magnitude > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                                 : static_cast<std::int32_t>(magnitude);
}

std::optional<std::uint32_t> ParseDialogUInt(std::string_view text)
{
    bool negative = false;
    std::uint64_t magnitude = 0;
    if (!ReadNumber(text, negative, magnitude))
        return std::nullopt;
    std::uint32_t value = magnitude > std::numeric_limits<std::uint32_t>::max()
                              ? std::numeric_limits<std::uint32_t>::max()
                              : static_cast<std::uint32_t>(magnitude);
    return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

void CDataExchange::Fail(const QString& text)
{
    if (!text.isEmpty())
        VelmoraMessageBox(m_pDlgWnd, text, kMbOk | kMbIconExclamation);
    if (m_lastControl) {
        m_lastControl->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(m_lastControl))
            edit->selectAll();
    }
    throw CDataExchangeFailure();
}

void CDataExchange::Text(QLineEdit* edit, std::int32_t& value)
{
    PrepareControl(edit);
    if (!m_bSaveAndValidate) {
        edit->setText(QString::number(value));
        return;
    }
    std::optional<std::int32_t> read = ParseDialogInt(ToStd(edit->text()));
    if (!read)
        Fail(QString::fromLatin1(kMsgEnterInteger));
    value = *read;
}

void CDataExchange::Text(QLineEdit* edit, std::uint32_t& value)
{
    PrepareControl(edit);
    if (!m_bSaveAndValidate) {
        edit->setText(QString::number(value));
        return;
    }
    std::optional<std::uint32_t> read = ParseDialogUInt(ToStd(edit->text()));
    if (!read)
        Fail(QString::fromLatin1(kMsgEnterPositiveInteger));
    value = *read;
}

void CDataExchange::Text(QLineEdit* edit, std::string& value)
{
    PrepareControl(edit);
    if (m_bSaveAndValidate)
        value = ToStd(edit->text());
    else
        edit->setText(QString::fromStdString(value));
}

void CDataExchange::Text(QPlainTextEdit* edit, std::string& value)
{
    PrepareControl(edit);
    if (m_bSaveAndValidate)
        value = ToStd(edit->toPlainText());
    else
        edit->setPlainText(QString::fromStdString(value));
}

void CDataExchange::Check(QAbstractButton* box, int& value)
{
    PrepareControl(box);
    auto* check = qobject_cast<QCheckBox*>(box);
    if (m_bSaveAndValidate) {
        if (check)
            value = check->checkState() == Qt::PartiallyChecked ? 2 : check->isChecked() ? 1 : 0;
        else
            value = box->isChecked() ? 1 : 0;
        return;
    }
    if (check && value == 2)
        check->setCheckState(Qt::PartiallyChecked);
    else
        box->setChecked(value != 0);
}

void CDataExchange::Check(QAbstractButton* box, std::uint32_t& value)
{
    int state = static_cast<int>(value);
    Check(box, state);
    value = static_cast<std::uint32_t>(state);
}

void CDataExchange::ComboString(QComboBox* combo, std::string& value)
{
    PrepareControl(combo);
    if (m_bSaveAndValidate) {
        value = ToStd(combo->currentText());
        return;
    }
    int found = FindPrefix(combo->count(), [combo](int i) { return combo->itemText(i); }, value);
    combo->setCurrentIndex(found);
    if (found < 0)
        combo->setEditText(QString::fromStdString(value));
}

void CDataExchange::ComboString(CSimpleCombo* combo, std::string& value)
{
    PrepareControl(combo);
    if (m_bSaveAndValidate) {
        value = ToStd(combo->Text());
        return;
    }
    int found = FindPrefix(combo->Count(), [combo](int i) { return combo->ItemText(i); }, value);
    if (found >= 0)
        combo->SetCurrentIndex(found);
    else
        combo->SetText(QString::fromStdString(value));
}

void CDataExchange::ListString(QListWidget* list, std::string& value)
{
    PrepareControl(list);
    if (m_bSaveAndValidate) {
        int row = SelectedRow(list);
        value = row < 0 ? std::string() : ToStd(list->item(row)->text());
        return;
    }
    SelectRow(list, FindPrefix(list->count(), [list](int i) { return list->item(i)->text(); }, value));
}

void CDataExchange::ListIndex(QListWidget* list, int& index)
{
    PrepareControl(list);
    if (m_bSaveAndValidate)
        index = SelectedRow(list);
    else
        SelectRow(list, index);
}

void CDataExchange::MinMaxInt(std::int32_t value, std::int32_t min, std::int32_t max)
{
    if (m_bSaveAndValidate && (value < min || value > max))
        Fail(Arg(kMsgEnterIntegerBetween, QString::number(min), QString::number(max)));
}

void CDataExchange::MinMaxUInt(std::uint32_t value, std::uint32_t min, std::uint32_t max)
{
    if (m_bSaveAndValidate && (value < min || value > max))
        Fail(Arg(kMsgEnterIntegerBetween, QString::number(min), QString::number(max)));
}

void CDataExchange::MaxChars(const std::string& value, int max)
{
    if (!m_bSaveAndValidate) {
        if (auto* edit = qobject_cast<QLineEdit*>(m_lastControl))
            edit->setMaxLength(max);
        return;
    }
    if (static_cast<long long>(value.size()) > max)
        Fail(Arg(kMsgEnterNoMoreThan, QString::number(max)));
}
