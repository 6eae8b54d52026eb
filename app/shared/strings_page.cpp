#include "app/shared/strings_page.h"

#include "ui_strings_page.h"

#include "app/kit/message_box.h"
#include "app/shared/edit_string_dialog.h"
#include "macro/macro_context.h"

namespace {

// The position of the string named name in the scope, or none.
CMacroContext::Position Find(const CMacroContext& scope, const std::string& name)
{
    std::string held;
    std::string text;
    for (CMacroContext::Position at = scope.GetStartPosition(); at != CMacroContext::kNoPosition;) {
        CMacroContext::Position here = at;
        scope.GetNextMacro(at, held, text);
        if (held == name)
            return here;
    }
    return CMacroContext::kNoPosition;
}

} // namespace

CStringsPage::CStringsPage(CMacroContext& scope, const DefaultStringRow* table)
    : CPropertyPage(QStringLiteral("Strings")), m_scope(scope), m_table(table)
{
}

CStringsPage::~CStringsPage() = default;

void CStringsPage::SetupUi()
{
    m_ui = std::make_unique<Ui::StringsPage>();
    m_ui->setupUi(this);
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        std::string name;
        std::string text;
        for (CMacroContext::Position at = m_scope.GetStartPosition(); at != CMacroContext::kNoPosition;) {
            m_scope.GetNextMacro(at, name, text);
            QString key = QString::fromStdString(name);
            lines.push_back({key + QLatin1Char('\t') + QString::fromStdString(text), key});
        }
        return lines;
    };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { OnDelete(key); };
    m_list.SetTabStops({kStringsTabStop});
    m_list.Attach(m_ui->stringsList, m_ui->newStringButton, m_ui->editStringButton, m_ui->deleteStringButton);
}

std::optional<QString> CStringsPage::OnNew()
{
    CEditStringDialog dialog(m_scope, m_table, this);
    if (dialog.DoModal() != kIdOk)
        return std::nullopt;
    m_scope.SetStringMacro(dialog.Name, dialog.Text);
    SetRestart();
    return QString();
}

std::optional<QString> CStringsPage::OnEdit(const QString& key)
{
    const std::string name = key.toStdString();
    CMacroContext::Position at = Find(m_scope, name);
    CEditStringDialog dialog(m_scope, m_table, this);
    if (!m_scope.GetMacroAt(at, dialog.Name, dialog.Text))
        return std::nullopt;
    const std::string text = dialog.Text;
    // Out of the scope while the dialog runs, so keeping the name is no duplicate.
    m_scope.RemoveMacro(at);
    if (dialog.DoModal() != kIdOk) {
        // A refused OK has already read the fields: Cancel restores the string as given.
        dialog.Name = name;
        dialog.Text = text;
    }
    m_scope.SetStringMacro(dialog.Name, dialog.Text);
    SetRestart();
    return QString::fromStdString(FoldKey(dialog.Name));
}

void CStringsPage::OnDelete(const QString& key)
{
    m_scope.RemoveMacro(Find(m_scope, key.toStdString()));
    SetRestart();
}
