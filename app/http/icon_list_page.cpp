#include "app/http/icon_list_page.h"

#include "ui_icon_list_page.h"

#include "app/http/mime_icon_dialog.h"
#include "config/string_maps.h"

CIconListPage::CIconListPage(const CMapListKind& kind, CRegStringMap& icons, CRegStringMap& types)
    : CPropertyPage(QString::fromLatin1(kind.caption)), m_kind(kind), m_icons(icons), m_types(types)
{
}

CIconListPage::~CIconListPage() = default;

void CIconListPage::SetupUi()
{
    m_ui = std::make_unique<Ui::IconListPage>();
    m_ui->setupUi(this);
    m_ui->listLabel->setText(QString::fromLatin1(m_kind.label));
    m_list.entries = [this] { return map_list::Lines(m_icons, true); };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { m_icons.RemoveKey(key.toStdString()); };
    m_list.SetTabStops({kIconListTabStop});
    m_list.Attach(m_ui->iconsList, m_ui->newIconButton, m_ui->editIconButton, m_ui->deleteIconButton);
}

void CIconListPage::DoDataExchange(CDataExchange& dx)
{
    std::string folders;
    std::string fallback;
    if (!dx.m_bSaveAndValidate) {
        folders = map_list::ValueOf(m_icons, map_list::kFolderKey);
        fallback = map_list::ValueOf(m_icons, map_list::kDefaultKey);
    }
    dx.Text(m_ui->folderIconEdit, folders);
    dx.Text(m_ui->defaultIconEdit, fallback);
    if (dx.m_bSaveAndValidate) {
        map_list::StoreReserved(m_icons, map_list::kDefaultKey, fallback);
        map_list::StoreReserved(m_icons, map_list::kFolderKey, folders);
    }
}

void CIconListPage::OnOK()
{
    map_list::StoreReserved(m_icons, map_list::kDefaultKey, m_ui->defaultIconEdit->text().toStdString());
    map_list::StoreReserved(m_icons, map_list::kFolderKey, m_ui->folderIconEdit->text().toStdString());
}

std::optional<QString> CIconListPage::OnNew()
{
    CMimeIconDialog dialog(m_icons, m_types, this);
    return map_list::NewEntry(m_icons, dialog, &CMimeIconDialog::MIMEType, &CMimeIconDialog::IconURL);
}

std::optional<QString> CIconListPage::OnEdit(const QString& key)
{
    CMimeIconDialog dialog(m_icons, m_types, this);
    return map_list::EditEntry(m_icons, key, dialog, &CMimeIconDialog::MIMEType, &CMimeIconDialog::IconURL);
}
