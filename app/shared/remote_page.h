#pragma once
// CRemotePage: edits another machine's configuration. Connect reaches that
// machine's registry through a remote shell, runs the whole settings sheet
// on it, and when the sheet asks for a restart offers to restart the
// Velmora service there through the same connection. The remote sheet's
// restart mark stays with it; the sheet holding this page is not marked.
// A connection that fails says why, with the remote shell's own reason.

#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class RemotePage;
}

inline constexpr unsigned kRemoteConnectFailedStringId = 2072;
inline constexpr unsigned kRemoteRestartPromptStringId = 2073;
// The service the remote machine runs the servers as.
inline constexpr const char* kRemoteServiceName = "Velmora";

struct CSettingsPageVariant;

class CRemotePage : public CPropertyPage {
    Q_OBJECT
public:
    // variant: the page list of the sheet holding this page (null: the
    // application's), which the far sheet gets too; it outlives the page.
    explicit CRemotePage(const CSettingsPageVariant* variant = nullptr);
    ~CRemotePage() override;

    void OnConnect();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    void UpdateConnect();

    std::unique_ptr<Ui::RemotePage> m_ui;
    const CSettingsPageVariant* m_variant;
};

std::unique_ptr<CPropertyPage> MakeRemotePage(const CSettingsPageVariant* variant = nullptr);
