#pragma once
// The proxy's value pages, each on the sheet's working copy of the proxy
// settings:
//   CProxyGeneralPage  enabled, port, log file, reverse lookups, client
//                      limit, pooled threads, connection time-out; refuses
//                      (while the proxy is enabled) a port an HTTP server
//                      or a room already listens on at all addresses
//   CProxyCascadePage  the four upstream proxies, host and port
//   CProxyCachePage    cache folder, size, ages and intervals
// General and Cache mark the sheet for a restart when the settings' own
// restart test says so against the values the page was filled with: the
// cache is built when the proxy starts, so a new folder or size needs one.
// Cascade never does: the relay reads the upstream proxies at each request.

#include "app/kit/property_page.h"
#include "proxy/proxy_settings.h"

#include <memory>

namespace Ui {
class ProxyGeneralPage;
class ProxyCascadePage;
class ProxyCachePage;
}

class CProxyGeneralPage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CProxyGeneralPage(CHTTPProxySettings& settings);
    ~CProxyGeneralPage() override;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::ProxyGeneralPage> m_ui;
    CHTTPProxySettings& m_settings;
    CHTTPProxySettings m_snapshot;
};

class CProxyCascadePage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CProxyCascadePage(CHTTPProxySettings& settings);
    ~CProxyCascadePage() override;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::ProxyCascadePage> m_ui;
    CHTTPProxySettings& m_settings;
};

class CProxyCachePage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CProxyCachePage(CHTTPProxySettings& settings);
    ~CProxyCachePage() override;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::ProxyCachePage> m_ui;
    CHTTPProxySettings& m_settings;
    CHTTPProxySettings m_snapshot;
};
