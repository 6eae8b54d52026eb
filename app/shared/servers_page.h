#pragma once
// CServersPage: the first page of the settings sheet. It holds the three
// server families (HTTP, chat rooms, proxy) that the settings sheet loads
// and saves; each of its buttons edits one family in a nested sheet on a
// working copy. OK in the nested sheet copies the copy back into the
// family and passes a restart mark up to the settings sheet; Cancel drops
// the copy. Nothing reaches the registry until the settings sheet's OK.
//
// The nested sheets hold the pages the families' editors supply, in their
// designed order; NestedSheetPages names them, so an editor built later
// joins its sheet by being listed there.

#include "app/kit/property_page.h"

#include <functional>
#include <memory>
#include <vector>

namespace Ui {
class ServersPage;
}

class CChatGlobalConfig;
class CHTTPGlobalConfig;
class CHTTPProxySettings;

template <class Config>
using NestedPageMaker = std::function<std::unique_ptr<CPropertyPage>(Config& workingCopy)>;

struct CNestedSheetPages {
    std::vector<NestedPageMaker<CHTTPGlobalConfig>> http;
    std::vector<NestedPageMaker<CChatGlobalConfig>> chat;
    std::vector<NestedPageMaker<CHTTPProxySettings>> proxy;
};

// The pages of the three nested sheets that exist in this build.
CNestedSheetPages DefaultNestedSheetPages();

class CServersPage : public CPropertyPage {
    Q_OBJECT
public:
    // The families are the settings sheet's working objects; they outlive
    // the page.
    CServersPage(CHTTPGlobalConfig& http, CChatGlobalConfig& chat, CHTTPProxySettings& proxy,
                 CNestedSheetPages pages = DefaultNestedSheetPages());
    ~CServersPage() override;

    void OnHTTPServers();
    void OnChatRooms();
    void OnProxy();

    // The families as the settings sheet holds them (a nested sheet edits
    // a copy of one of them).
    CHTTPGlobalConfig& HTTP() const { return m_http; }
    CChatGlobalConfig& Chat() const { return m_chat; }
    CHTTPProxySettings& Proxy() const { return m_proxy; }

protected:
    void SetupUi() override;

private:
    std::unique_ptr<Ui::ServersPage> m_ui;
    CHTTPGlobalConfig& m_http;
    CChatGlobalConfig& m_chat;
    CHTTPProxySettings& m_proxy;
    CNestedSheetPages m_pages;
};
