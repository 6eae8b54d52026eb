#pragma once
// CPropertyPage: one page of a CPropertySheetPlus. The sheet builds the
// page (SetupUi, then OnInitDialog, which fills the controls by a data
// exchange) the first time the page is shown, never earlier, so a page the
// person never opens costs nothing and never validates.
//
// A page declares itself like this (the layout is a Designer file in
// resources/, compiled by AUTOUIC):
//
//     class CFooPage : public CPropertyPage {
//     public:
//         CFooPage() : CPropertyPage(QStringLiteral("Foo")) {}
//     protected:
//         void SetupUi() override { m_ui.setupUi(this); }
//         void DoDataExchange(CDataExchange& dx) override
//         {
//             dx.Text(m_ui.workersEdit, m_workers);
//             dx.MinMaxInt(m_workers, 0, 32000);
//         }
//     private:
//         Ui::FooPage m_ui;
//         std::int32_t m_workers = 0;
//     };

#include "app/kit/exchange_host.h"

#include <QString>
#include <QWidget>

class CPropertySheetPlus;

class CPropertyPage : public QWidget, public CExchangeHost {
    Q_OBJECT
public:
    explicit CPropertyPage(const QString& title, QWidget* parent = nullptr);
    ~CPropertyPage() override;

    const QString& Title() const { return m_title; }
    // The sheet that holds the page; null before AddPage.
    CPropertySheetPlus* GetSheet() const { return m_sheet; }
    // Marks the holding sheet for a restart of the servers (pages never clear it).
    void SetRestart();

    // The sheet's calls. OnKillActive runs the exchange back (false keeps
    // the page shown); OnOK runs on the active page only, after its
    // exchange succeeded; OnCancel on every page that was built.
    virtual bool OnSetActive() { return true; }
    virtual bool OnKillActive() { return UpdateData(true); }
    virtual void OnOK() {}
    virtual void OnCancel() {}

private:
    friend class CPropertySheetPlus;
    QString m_title;
    CPropertySheetPlus* m_sheet = nullptr;
};
