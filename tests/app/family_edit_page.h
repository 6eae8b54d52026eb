#pragma once
// A stand-in for one of a server family's editors inside a nested sheet:
// what is typed into "entry" is applied to the working copy when the page's
// fields are read back, and "needsRestart" marks the nested sheet.

#include "app/property_page.h"
#include "app/servers_page.h"
#include "config/chat_config.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QVBoxLayout>

#include <functional>
#include <memory>
#include <string>

template <class Config>
class FamilyEditPage : public CPropertyPage {
public:
    using Apply = std::function<void(Config&, const std::string&)>;
    FamilyEditPage(Config& copy, Apply apply) : CPropertyPage(QStringLiteral("Edit")), m_copy(copy), m_apply(apply) {}

protected:
    void SetupUi() override
    {
        auto* layout = new QVBoxLayout(this);
        m_entry = new QLineEdit(this);
        m_entry->setObjectName(QStringLiteral("entry"));
        m_restart = new QCheckBox(QStringLiteral("restart"), this);
        m_restart->setObjectName(QStringLiteral("needsRestart"));
        layout->addWidget(m_entry);
        layout->addWidget(m_restart);
    }
    void DoDataExchange(CDataExchange& dx) override
    {
        std::string text;
        dx.Text(m_entry, text);
        if (!dx.m_bSaveAndValidate)
            return;
        if (!text.empty())
            m_apply(m_copy, text);
        if (m_restart->isChecked())
            SetRestart();
    }

private:
    Config& m_copy;
    Apply m_apply;
    QLineEdit* m_entry = nullptr;
    QCheckBox* m_restart = nullptr;
};

template <class Config>
NestedPageMaker<Config> EditPageMaker(typename FamilyEditPage<Config>::Apply apply)
{
    return [apply](Config& copy) { return std::make_unique<FamilyEditPage<Config>>(copy, apply); };
}

// The chat family's edit: a new room of that name.
inline void AddRoom(CChatGlobalConfig& chat, const std::string& name)
{
    auto settings = std::make_shared<CChatRoomSettings>();
    settings->name = name;
    chat.GetRooms().AddTail().SetRoomSettings(settings);
}
