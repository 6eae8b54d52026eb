#pragma once
// CPropertySheetPlus: the tabbed dialog of every configuration sheet, with
// OK and Cancel and the restart flag m_bRestart, which pages set when an
// accepted edit needs the servers restarted (the flag starts at 0 each time
// the sheet is run).
//
// Life cycle: before the sheet opens every page's controls are built, and
// the sheet takes the size of its largest page, so every page reads cleanly
// at the opening size; a page is filled when it is first shown. Leaving a
// page runs its data exchange; a failure keeps it shown (the tab switch is
// undone). OK runs the active page's exchange, then its OnOK, then the
// sheet's accept handler (when one is set), and closes only when all
// succeeded. Cancel, Esc and the close box cancel.
//
//     CPropertySheetPlus sheet(QStringLiteral("Caption"), parent);
//     auto* page = sheet.AddPage(std::make_unique<CFooPage>(...));
//     if (sheet.DoModal() == kIdOk && sheet.m_bRestart) ...

#include "app/kit/property_page.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <vector>

class QDialogButtonBox;
class QPushButton;
class QTabWidget;

// The widest a sheet grows to show all its tabs in one row; a sheet with
// more tabs (a server's fifteen) scrolls them with arrows instead of
// opening wider than a screen comfortably shows.
inline constexpr int kMaxTabRowWidth = 900;

class CPropertySheetPlus : public QDialog {
    Q_OBJECT
public:
    CPropertySheetPlus(unsigned captionId, QWidget* parent, int initialPage = 0);
    CPropertySheetPlus(const QString& caption, QWidget* parent, int initialPage = 0);
    ~CPropertySheetPlus() override;

    // Takes the page; pages show in the order added.
    template <class Page>
    Page* AddPage(std::unique_ptr<Page> page)
    {
        Page* raw = page.get();
        AddPageWidget(std::move(page));
        return raw;
    }
    int GetPageCount() const { return static_cast<int>(m_pages.size()); }
    CPropertyPage* GetPage(int index) const { return m_pages.at(static_cast<std::size_t>(index)); }
    int GetActiveIndex() const { return m_active; }
    CPropertyPage* GetActivePage() const { return m_active >= 0 ? GetPage(m_active) : nullptr; }
    // Leaves the active page (which may refuse) and shows page index.
    bool SetActivePage(int index);

    // Runs after the active page's OnOK; false keeps the sheet open.
    void SetAcceptHandler(std::function<bool()> handler) { m_acceptHandler = std::move(handler); }

    // Runs the sheet through the modal runner; kIdOk or kIdCancel.
    int DoModal();

    QTabWidget* Tabs() const { return m_tabs; }
    QPushButton* OkButton() const { return m_ok; }
    QPushButton* CancelButton() const { return m_cancel; }

    // The pages' restart mark.
    int m_bRestart = 0;

    void setVisible(bool visible) override;

public slots:
    void accept() override;
    void reject() override;

private:
    void Build(const QString& caption);
    void AddPageWidget(std::unique_ptr<CPropertyPage> page);
    void Begin();
    void FitPages();
    void OnTabChanged(int index);
    void Activate(int index);

    QTabWidget* m_tabs = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    std::vector<CPropertyPage*> m_pages;
    int m_initialPage = 0;
    int m_active = -1;
    bool m_begun = false;
    bool m_switching = false;
    std::function<bool()> m_acceptHandler;
};
