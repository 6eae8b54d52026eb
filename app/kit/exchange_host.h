#pragma once
// CExchangeHost: what a page and a dialog share about their data exchange.
// The window is built (SetupUi) and filled (OnInitDialog) once each, on
// first need; a sheet builds every page before it opens, to size itself for
// the largest, but fills a page only when it is first shown. UpdateData
// runs DoDataExchange in one direction and answers false when a test failed
// (the message was shown and the control focused).

#include "app/kit/data_exchange.h"

class QWidget;

class CExchangeHost {
public:
    virtual ~CExchangeHost() = default;
    CExchangeHost(const CExchangeHost&) = delete;
    CExchangeHost& operator=(const CExchangeHost&) = delete;

    // Filled: OnInitDialog has run.
    bool IsCreated() const { return m_created; }
    bool IsBuilt() const { return m_built; }
    // Creates the controls unless that was done; fills nothing.
    void EnsureBuilt();
    // Builds and fills the window unless that was done.
    void EnsureCreated();
    bool UpdateData(bool saveAndValidate = true);

protected:
    explicit CExchangeHost(QWidget* window) : m_window(window) {}

    // Creates the controls (usually m_ui.setupUi(this)). It may run long
    // before the window is shown, so it reads no data; filling is
    // OnInitDialog's.
    virtual void SetupUi() {}
    // After SetupUi: fills the controls. Overrides call the base first.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange&) {}

private:
    QWidget* const m_window;
    bool m_built = false;
    bool m_created = false;
};
