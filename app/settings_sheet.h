#pragma once
// The settings sheet: every configuration area of one machine's registry
// loaded into working objects, shown on one CPropertySheetPlus, and on OK
// written back: the backups Velmora001 and Velmora002 rotated, every area
// saved and LastMod touched, all in one registry transaction. A save that
// fails rolls everything back, says why in a message box and leaves the
// sheet open with every edit in place; Cancel writes nothing.
//
// RunSettingsSheet is the one call the main window and the Remote page
// make. CSettingsSheet is the same in steps, for the applet's own page list
// and for tests.

#include "app/kit/property_sheet_plus.h"
#include "config/chat_config.h"
#include "config/group_map.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"
#include "config/qns_config.h"
#include "config/user_map.h"
#include "macro/macro_context.h"
#include "platform/registry.h"
#include "proxy/proxy_settings.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <string>

struct CSettingsPageVariant;
enum class FarEnd;

inline constexpr unsigned kSettingsCaptionId = 2048;       // "Server Settings"
inline constexpr unsigned kSettingsRemoteCaptionId = 2065; // "Server Settings on %s"

// The working objects of one run; pages edit them, nothing else does.
struct CSettingsWork {
    explicit CSettingsWork(const platform::RegistryKey& root) : root(root) {}

    const platform::RegistryKey& root;
    // Empty for the local machine.
    std::string machine;
    // The local machine's HKEY_LOCAL_MACHINE (remote and web-remote pages only then).
    bool local = true;

    // Held by the Servers page.
    CHTTPGlobalConfig http;
    CChatGlobalConfig chat;
    CHTTPProxySettings proxy;
    // Strings and Macros pages.
    CMacroContext strings;
    std::string initMacro;
    // Performance page.
    std::uint32_t workers = 0;
    std::uint32_t concurrency = 0;
    // Users, Groups and QNS pages.
    CUserMap users;
    CGroupMap groups;
    CQNSConfig qns;
    // Web Remote page, only when the HTTPConf key existed at load.
    bool haveHttpConf = false;
    CHTTPServerConfig webRemote;
};

class CSettingsSheet {
public:
    // machine: empty for the local machine (root is then LocalMachine()).
    CSettingsSheet(QWidget* parent, const platform::RegistryKey& root, const std::string& machine = {});
    ~CSettingsSheet();

    // Loads every area; a failure leaves that area empty or at its defaults.
    void Load();
    // Load, on another machine's root off the window's thread with the far
    // call's box over parent; false (and how it ended) when the far machine
    // did not send every area.
    bool LoadWaiting(QWidget* parent, FarEnd& ended);
    // Adds the pages that exist, in the designed order, or in variant's.
    void AddStandardPages(const CSettingsPageVariant* variant = nullptr);
    // Runs the sheet; the restart flag after OK (the save is part of OK),
    // 0 after Cancel.
    int Run();

    // The OK step: rotate the backups, save every area, touch LastMod, as
    // one transaction. False with why when anything failed (then nothing
    // was written).
    bool Save(QString& why);

    CPropertySheetPlus& Sheet() { return m_sheet; }
    CSettingsWork& Work() { return m_work; }

private:
    // Save, on another machine's root off the window's thread (see there).
    bool SaveWaiting(QString& why, FarEnd& ended, bool& unsure);

    CSettingsWork m_work;
    CPropertySheetPlus m_sheet;
};

// variant: the applet's page list (null: the application's); it outlives the call.
int RunSettingsSheet(QWidget* parent, const platform::RegistryKey& root, const char* machine,
                     const CSettingsPageVariant* variant = nullptr);
