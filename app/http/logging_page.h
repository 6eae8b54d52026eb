#pragma once
// CLoggingPage: how one HTTP server logs its hits: the access-log file
// (itself a macro text the server expands), the combined common log
// format, and a custom log macro that replaces the built-in line. It
// refuses a log file another server of the list already writes (letter
// case ignored); with no list (a sheet of one server) any name is taken.
// Nothing here needs a restart.

#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class LoggingPage;
}

class CHTTPServerConfig;
class CHTTPServerConfigList;

inline constexpr unsigned kLogFileTakenStringId = 2050;

class CLoggingPage : public CPropertyPage {
    Q_OBJECT
public:
    CLoggingPage(CHTTPServerConfig& config, CHTTPServerConfigList* servers);
    ~CLoggingPage() override;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::LoggingPage> m_ui;
    CHTTPServerConfig& m_config;
    CHTTPServerConfigList* m_servers;
};
