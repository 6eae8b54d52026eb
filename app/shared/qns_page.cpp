#include "app/shared/qns_page.h"

#include "ui_qns_page.h"

#include "app/kit/message_box.h"
#include "app/shared/qns_host_dialog.h"
#include "config/qns_config.h"
#include "config/registry_helpers.h"

#include <optional>

namespace {

QString KeyOf(std::uint32_t address) { return QString::number(address); }

} // namespace

void LoadQNSTableForEditing(CQNSConfig& table, const platform::RegistryKey& root, std::string_view path)
{
    table.RemoveAll();
    platform::RegistryKey key;
    if (root.Open(path, key) != platform::kErrorSuccess)
        return;
    std::uint32_t count = 0;
    key.QueryInfo(nullptr, &count);
    for (std::uint32_t index = 0; index < count; ++index) {
        std::string name;
        std::string host;
        if (RegEnumValueString(key, index, name, host) != platform::kErrorSuccess)
            continue;
        std::uint32_t address = 0;
        if (!ParseQNSAddress(QString::fromStdString(name), address))
            continue;
        table.SetAt(address, std::move(host));
    }
}

CQNSPage::CQNSPage(CQNSConfig& table) : CPropertyPage(QStringLiteral("QNS")), m_table(table) {}

CQNSPage::~CQNSPage() = default;

void CQNSPage::SetupUi()
{
    m_ui = std::make_unique<Ui::QNSPage>();
    m_ui->setupUi(this);
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        for (const auto& [address, name] : m_table.GetEntries())
            lines.push_back({FormatQNSAddress(address) + QLatin1Char('\t') + QString::fromStdString(name),
                             KeyOf(address)});
        return lines;
    };
    m_list.onNew = [this]() -> std::optional<QString> {
        CQNSHostDialog dialog(m_table, this);
        if (dialog.DoModal() != kIdOk)
            return std::nullopt;
        m_table.SetAt(dialog.m_address, dialog.m_hostName);
        return KeyOf(dialog.m_address);
    };
    m_list.onEdit = [this](const QString& key) -> std::optional<QString> {
        const std::uint32_t address = key.toUInt();
        CQNSConfig::Table entries = m_table.GetEntries();
        auto found = entries.find(address);
        if (found == entries.end())
            return std::nullopt;
        CQNSHostDialog dialog(m_table, this);
        dialog.m_address = address;
        dialog.m_hostName = found->second;
        // Out of the table while the dialog runs, so an unchanged address
        // is no duplicate; back in, as the dialog leaves it, either way.
        m_table.RemoveKey(address);
        dialog.DoModal();
        m_table.SetAt(dialog.m_address, dialog.m_hostName);
        return KeyOf(dialog.m_address);
    };
    m_list.onDelete = [this](const QString& key) { m_table.RemoveKey(key.toUInt()); };
}

bool CQNSPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_list.SetTabStops({kQNSListTabStop});
    m_list.Attach(m_ui->hostNamesList, m_ui->newHostButton, m_ui->editHostButton, m_ui->deleteHostButton);
    return result;
}
