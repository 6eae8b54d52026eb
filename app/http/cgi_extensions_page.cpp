#include "app/http/cgi_extensions_page.h"

#include "ui_cgi_extensions_page.h"

#include "app/kit/message_box.h"
#include "app/http/cgi_mapping_dialog.h"
#include "config/cgi_mapping.h"

namespace {
// Where the command line starts, in dialog units.
constexpr int kCommandTabStop = 40;
} // namespace

CCGIExtensionsPage::CCGIExtensionsPage(CCGIMappingMap& mappings)
    : CPropertyPage(QStringLiteral("CGI Extensions")), m_mappings(mappings)
{
}

CCGIExtensionsPage::~CCGIExtensionsPage() = default;

void CCGIExtensionsPage::SetupUi()
{
    m_ui = std::make_unique<Ui::CgiExtensionsPage>();
    m_ui->setupUi(this);
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        for (const auto& [extension, mapping] : m_mappings.GetEntriesAsHeld())
            lines.push_back({QString::fromStdString(extension + '\t' + mapping.CommandLine),
                             QString::fromStdString(extension)});
        return lines;
    };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { m_mappings.RemoveKey(key.toStdString()); };
    m_list.SetTabStops({kCommandTabStop});
    m_list.Attach(m_ui->cgiExtensionsList, m_ui->newCgiExtensionButton, m_ui->editCgiExtensionButton,
                  m_ui->deleteCgiExtensionButton);
}

QString CCGIExtensionsPage::Store(const CCGIMappingDialog& dialog)
{
    CCGIMapping mapping;
    mapping.CommandLine = dialog.CommandLine;
    mapping.WorkingDir = dialog.WorkingDir;
    mapping.CGIProtocol = dialog.Protocol;
    mapping.ExecCGI = dialog.RunOnGet;
    std::string key = FoldKey(dialog.Extension);
    m_mappings.SetAt(key, mapping);
    return QString::fromStdString(key);
}

std::optional<QString> CCGIExtensionsPage::OnNew()
{
    CCGIMappingDialog dialog(m_mappings, this);
    if (dialog.DoModal() != kIdOk)
        return std::nullopt;
    Store(dialog);
    return QString();
}

std::optional<QString> CCGIExtensionsPage::OnEdit(const QString& key)
{
    CCGIMappingDialog dialog(m_mappings, this);
    const std::string extension = key.toStdString();
    CCGIMapping mapping;
    {
        CEventLockHolder hold(m_mappings.GetLock());
        if (!m_mappings.Lookup(extension, mapping))
            return std::nullopt;
    }
    dialog.Extension = extension;
    dialog.CommandLine = mapping.CommandLine;
    dialog.WorkingDir = mapping.WorkingDir;
    dialog.Protocol = mapping.CGIProtocol;
    dialog.RunOnGet = mapping.ExecCGI;
    // Out of the map while the dialog runs, so its duplicate test never
    // meets the mapping itself. A refused OK has already read the fields,
    // so Cancel puts back what the dialog was given.
    m_mappings.RemoveKey(extension);
    if (dialog.DoModal() != kIdOk) {
        dialog.Extension = extension;
        dialog.CommandLine = mapping.CommandLine;
        dialog.WorkingDir = mapping.WorkingDir;
        dialog.Protocol = mapping.CGIProtocol;
        dialog.RunOnGet = mapping.ExecCGI;
    }
    return Store(dialog);
}
