#pragma once
// CStringsPage: the named strings one scope overrides, a line each (name,
// a tab, the text), with New, Edit and Delete as every list page has them;
// each string is edited in the Edit String dialog against the scope's
// default table. Every change marks the sheet for a restart: running
// servers read their strings only when they start.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class StringsPage;
}

class CMacroContext;
struct DefaultStringRow;

// The one tab stop of a line, in dialog units.
inline constexpr int kStringsTabStop = 40;

class CStringsPage : public CPropertyPage {
    Q_OBJECT
public:
    // scope outlives the page; table may be null (no names offered).
    CStringsPage(CMacroContext& scope, const DefaultStringRow* table);
    ~CStringsPage() override;

    CListPattern& List() { return m_list; }

protected:
    void SetupUi() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);
    void OnDelete(const QString& key);

    std::unique_ptr<Ui::StringsPage> m_ui;
    CMacroContext& m_scope;
    const DefaultStringRow* m_table;
    CListPattern m_list;
};
