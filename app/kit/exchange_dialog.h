#pragma once
// CExchangeDialog: a dialog (not a page) with the same data exchange: it is
// built and filled when run, and OK closes it only when the exchange back
// succeeds. Dialogs that edit one entry of a list derive from it.
//
//     class CBarDialog : public CExchangeDialog {
//         void SetupUi() override { m_ui.setupUi(this); }
//         void DoDataExchange(CDataExchange& dx) override { ... }
//     };
//     CBarDialog dialog(parent);
//     if (dialog.DoModal() == kIdOk) ...
//
// Wire the .ui's OK and Cancel to accept() and reject() (a QDialogButtonBox
// does that by itself).

#include "app/kit/exchange_host.h"

#include <QDialog>

class CExchangeDialog : public QDialog, public CExchangeHost {
    Q_OBJECT
public:
    explicit CExchangeDialog(QWidget* parent = nullptr);
    ~CExchangeDialog() override;

    // Builds and fills the dialog (once), then runs it through the modal
    // runner; kIdOk or kIdCancel.
    int DoModal();
    // Built and filled before the window system sizes the dialog.
    void setVisible(bool visible) override;

public slots:
    // OK: the exchange back, then OnOK; stays open when the exchange fails.
    void accept() override;

protected:
    // After a successful exchange back; false keeps the dialog open.
    virtual bool OnOK() { return true; }
};
