#pragma once
// CTypeListPage: a map from a file extension (or a gopher item type) to a
// MIME type, a line each (key, a tab, the MIME type), edited in the
// Extension Mapping dialog; the default MIME type, held under "*", is
// shown in its own edit. One class serves every such list; the caller
// names it and labels its list.
//
// The default edit is stored whenever the page's exchange runs, so a
// change survives leaving the page before the sheet's OK.

#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"
#include "app/kit/property_page.h"
#include "config/string_maps.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Ui {
class TypeListPage;
}


// The one tab stop of a line, in dialog units.
inline constexpr int kTypeListTabStop = 20;

// A list's caption and the label over its lines.
struct CMapListKind {
    const char* caption;
    const char* label;
};

inline constexpr CMapListKind kMimeTypesKind{"MIME Types", "&Extension-->MIME type mappings:"};
inline constexpr CMapListKind kFtpTypesKind{"FTP Types", "&FTP extension-->MIME type mappings:"};
inline constexpr CMapListKind kGopherTypesKind{"Gopher Types", "&Gopher type-->MIME type mappings:"};

class CTypeListPage : public CPropertyPage {
    Q_OBJECT
public:
    // types outlives the page.
    CTypeListPage(const CMapListKind& kind, CRegStringMap& types);
    ~CTypeListPage() override;

    CListPattern& List() { return m_list; }
    void OnOK() override;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);

    std::unique_ptr<Ui::TypeListPage> m_ui;
    CMapListKind m_kind;
    CRegStringMap& m_types;
    CListPattern m_list;
};

// Shared by the type and icon lists.
namespace map_list {
// The reserved keys: the default entry and (icon maps) the folder entry.
inline constexpr const char* kDefaultKey = "*";
inline constexpr const char* kFolderKey = "**";
// One line per entry but the reserved ones: key, a tab, value.
std::vector<CListPattern::Entry> Lines(const CRegStringMap& map, bool folderReserved);
// The value under key, empty when absent.
std::string ValueOf(const CRegStringMap& map, const std::string& key);
// Sets key to text, or removes it when text is empty.
void StoreReserved(CRegStringMap& map, const char* key, const std::string& text);

// New and Edit of a line through a dialog that holds the key and the value
// in the given members; the key is stored folded, the value as typed. Each
// answers the key to select (after New the first line, as the other list
// pages do), or nothing when nothing changed.
template <class Dialog>
std::optional<QString> NewEntry(CRegStringMap& map, Dialog& dialog, std::string Dialog::*key, std::string Dialog::*value)
{
    if (dialog.DoModal() != kIdOk)
        return std::nullopt;
    map.SetAt(FoldKey(dialog.*key), dialog.*value);
    return QString();
}
template <class Dialog>
std::optional<QString> EditEntry(CRegStringMap& map, const QString& selected, Dialog& dialog, std::string Dialog::*key,
                                 std::string Dialog::*value)
{
    const std::string oldKey = selected.toStdString();
    const std::string oldValue = ValueOf(map, oldKey);
    dialog.*key = oldKey;
    dialog.*value = oldValue;
    // Out of the map while the dialog runs, so keeping the key is no duplicate.
    map.RemoveKey(oldKey);
    if (dialog.DoModal() != kIdOk) {
        // A refused OK has already read the fields: Cancel restores the entry as given.
        dialog.*key = oldKey;
        dialog.*value = oldValue;
    }
    map.SetAt(FoldKey(dialog.*key), dialog.*value);
    return QString::fromStdString(FoldKey(dialog.*key));
}
} // namespace map_list
