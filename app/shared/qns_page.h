#pragma once
// CQNSPage: the QNS table of the settings sheet, one line per entry (the
// dotted address, a tab, the host name) in two columns. New, Edit and
// Delete follow the list pattern; the QNS Host dialog edits one entry.
// Nothing here marks a restart: the servers reload the table through the
// change stamp once the sheet has saved it.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"
#include "platform/registry.h"

#include <memory>
#include <string_view>

namespace Ui {
class QNSPage;
}

class CQNSConfig;

// The designed tab stop of the list, in dialog units.
inline constexpr int kQNSListTabStop = 90;

// Fills table with the key's entries as they are stored, a blank host name
// included, without asking the DNS: the sheet edits what the registry holds,
// and a name the DNS does not know must not vanish on the next save.
void LoadQNSTableForEditing(CQNSConfig& table, const platform::RegistryKey& root, std::string_view path);

class CQNSPage : public CPropertyPage {
    Q_OBJECT
public:
    // table is the settings sheet's working copy; it outlives the page.
    explicit CQNSPage(CQNSConfig& table);
    ~CQNSPage() override;

    CListPattern& List() { return m_list; }

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    std::unique_ptr<Ui::QNSPage> m_ui;
    CQNSConfig& m_table;
    CListPattern m_list;
};
