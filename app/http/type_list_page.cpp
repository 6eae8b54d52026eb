#include "app/http/type_list_page.h"

#include "ui_type_list_page.h"

#include "app/http/extension_mapping_dialog.h"
#include "config/string_maps.h"

#include <QLabel>

namespace map_list {

std::vector<CListPattern::Entry> Lines(const CRegStringMap& map, bool folderReserved)
{
    std::vector<CListPattern::Entry> lines;
    for (const auto& [key, value] : map.GetEntriesAsHeld()) {
        if (key == kDefaultKey || (folderReserved && key == kFolderKey))
            continue;
        QString name = QString::fromStdString(key);
        lines.push_back({name + QLatin1Char('\t') + QString::fromStdString(value), name});
    }
    return lines;
}

std::string ValueOf(const CRegStringMap& map, const std::string& key)
{
    const auto entries = map.GetEntriesAsHeld();
    auto found = entries.find(key);
    return found == entries.end() ? std::string() : found->second;
}

void StoreReserved(CRegStringMap& map, const char* key, const std::string& text)
{
    if (text.empty())
        map.RemoveKey(key);
    else
        map.SetAt(key, text);
}

} // namespace map_list

CTypeListPage::CTypeListPage(const CMapListKind& kind, CRegStringMap& types)
    : CPropertyPage(QString::fromLatin1(kind.caption)), m_kind(kind), m_types(types)
{
}

CTypeListPage::~CTypeListPage() = default;

void CTypeListPage::SetupUi()
{
    m_ui = std::make_unique<Ui::TypeListPage>();
    m_ui->setupUi(this);
    m_ui->listLabel->setText(QString::fromLatin1(m_kind.label));
    m_list.entries = [this] { return map_list::Lines(m_types, false); };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { m_types.RemoveKey(key.toStdString()); };
    m_list.SetTabStops({kTypeListTabStop});
    m_list.Attach(m_ui->typesList, m_ui->newTypeButton, m_ui->editTypeButton, m_ui->deleteTypeButton);
}

void CTypeListPage::DoDataExchange(CDataExchange& dx)
{
    std::string text;
    if (!dx.m_bSaveAndValidate)
        text = map_list::ValueOf(m_types, map_list::kDefaultKey);
    dx.Text(m_ui->defaultTypeEdit, text);
    if (dx.m_bSaveAndValidate)
        map_list::StoreReserved(m_types, map_list::kDefaultKey, text);
}

void CTypeListPage::OnOK()
{
    map_list::StoreReserved(m_types, map_list::kDefaultKey, m_ui->defaultTypeEdit->text().toStdString());
}

std::optional<QString> CTypeListPage::OnNew()
{
    CExtensionMappingDialog dialog(m_types, this);
    return map_list::NewEntry(m_types, dialog, &CExtensionMappingDialog::Extension, &CExtensionMappingDialog::MIMEType);
}

std::optional<QString> CTypeListPage::OnEdit(const QString& key)
{
    CExtensionMappingDialog dialog(m_types, this);
    return map_list::EditEntry(m_types, key, dialog, &CExtensionMappingDialog::Extension,
                               &CExtensionMappingDialog::MIMEType);
}
