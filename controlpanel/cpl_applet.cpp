// The applet library's entry. Loading the library opens the applet's own
// change stamp (which marks a change at once, as every load does); a double
// click runs the settings sheet on the host's thread.

#include "controlpanel/cpl_applet.h"

#include "app/kit/message_box.h"
#include "app/product_icons.h"
#include "config/last_mod_stamp.h"
#include "controlpanel/applet_sheet.h"
#include "platform/registry.h"

#include <QApplication>
#include <QWidget>

#include <cstring>
#include <memory>

namespace {

constexpr unsigned kApplicationTitleId = 0xE000;
constexpr unsigned kAppletInfoId = 2071;

// A host without a Qt application of its own gets one for the applet's
// windows, from the first double click to CPL_EXIT.
struct CAppletApplication {
    CAppletApplication()
    {
        GlobalLastModStamp().Open(platform::RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);
    }

    void EnsureApplication()
    {
        if (!QApplication::instance())
            m_application = std::make_unique<QApplication>(m_argc, m_argv);
    }
    void EndApplication() { m_application.reset(); }

    int m_argc = 1;
    char m_name[16] = "velmoconf";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_application;
};

CAppletApplication g_applet;

void CopyText(char* to, std::size_t size, const QString& text)
{
    QByteArray bytes = text.toUtf8();
    std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(bytes.size()), size - 1);
    std::memcpy(to, bytes.constData(), length);
    to[length] = '\0';
}

} // namespace

extern "C" __attribute__((visibility("default"))) intptr_t CPlApplet(void* hwndCpl, uint32_t msg, intptr_t,
                                                                      intptr_t lParam2)
{
    switch (msg) {
    case CPL_INIT:
        return 1;
    case CPL_GETCOUNT:
        return 1;
    case CPL_NEWINQUIRE: {
        auto* info = reinterpret_cast<NEWCPLINFO*>(lParam2);
        if (!info)
            return 0;
        std::memset(info, 0, sizeof *info);
        info->dwSize = sizeof *info;
        info->iconId = kProgramIconId;
        CopyText(info->szName, sizeof info->szName, LoadQString(kApplicationTitleId));
        CopyText(info->szInfo, sizeof info->szInfo, LoadQString(kAppletInfoId));
        return 0;
    }
    case CPL_DBLCLK:
        g_applet.EnsureApplication();
        RunAppletSettings(static_cast<QWidget*>(hwndCpl));
        return 0;
    case CPL_EXIT:
        g_applet.EndApplication();
        return 0;
    default:
        return 0;
    }
}
