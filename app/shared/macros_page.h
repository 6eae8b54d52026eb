#pragma once
// CMacrosPage: a scope's initialization macro text. A changed text marks
// the sheet for a restart, since the macro runs when the servers start;
// opening and leaving the page unchanged marks nothing.

#include "app/kit/property_page.h"

#include <functional>
#include <memory>
#include <string>

namespace Ui {
class MacrosPage;
}

class CMacrosPage : public CPropertyPage {
    Q_OBJECT
public:
    // The text lives with its configuration; without an accessor pair the
    // page exchanges nothing.
    using Getter = std::function<std::string()>;
    using Setter = std::function<void(const std::string&)>;
    CMacrosPage(Getter get, Setter set);
    // For a text held as a plain string (may be null).
    explicit CMacrosPage(std::string* text);
    ~CMacrosPage() override;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::MacrosPage> m_ui;
    Getter m_get;
    Setter m_set;
    std::string m_snapshot;
};
