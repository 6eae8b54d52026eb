#include "app/kit/property_sheet_plus.h"

#include "app/kit/message_box.h"
#include "app/kit/modal_runner.h"

#include <QDialogButtonBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

CPropertySheetPlus::CPropertySheetPlus(unsigned captionId, QWidget* parent, int initialPage)
    : QDialog(parent), m_initialPage(initialPage)
{
    Build(LoadQString(captionId));
}

CPropertySheetPlus::CPropertySheetPlus(const QString& caption, QWidget* parent, int initialPage)
    : QDialog(parent), m_initialPage(initialPage)
{
    Build(caption);
}

CPropertySheetPlus::~CPropertySheetPlus() = default;

void CPropertySheetPlus::Build(const QString& caption)
{
    setObjectName(QStringLiteral("propertySheet"));
    setWindowTitle(caption);
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("tabs"));
    layout->addWidget(m_tabs);
    auto* buttons = new QDialogButtonBox(this);
    m_ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setDefault(true);
    m_cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    m_cancel->setObjectName(QStringLiteral("cancel"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CPropertySheetPlus::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CPropertySheetPlus::reject);
    connect(m_tabs, &QTabWidget::currentChanged, this, &CPropertySheetPlus::OnTabChanged);
}

void CPropertySheetPlus::AddPageWidget(std::unique_ptr<CPropertyPage> page)
{
    CPropertyPage* raw = page.release();
    raw->m_sheet = this;
    m_pages.push_back(raw);
    QSignalBlocker block(m_tabs);
    m_tabs->addTab(raw, raw->Title());
}

int CPropertySheetPlus::DoModal()
{
    Begin();
    int result = RunModal(*this);
    // A second run starts afresh: flag down, initial page.
    m_begun = false;
    return result;
}

// Before the window system sizes the sheet, so it opens at its full size.
void CPropertySheetPlus::setVisible(bool visible)
{
    if (visible)
        Begin();
    QDialog::setVisible(visible);
}

// Each run starts with the flag down and the initial page built and shown.
void CPropertySheetPlus::Begin()
{
    if (m_begun)
        return;
    m_begun = true;
    m_bRestart = 0;
    if (m_pages.empty())
        return;
    FitPages();
    int index = m_initialPage >= 0 && m_initialPage < GetPageCount() ? m_initialPage : 0;
    {
        QSignalBlocker block(m_tabs);
        m_tabs->setCurrentIndex(index);
    }
    Activate(index);
}

// Every page gets the size of the largest, so the tab area can never be
// smaller than a page needs. Wrapped help texts need more height at a
// narrower width, so heights are taken at the width all pages share.
void CPropertySheetPlus::FitPages()
{
    QSize area(0, 0);
    for (CPropertyPage* page : m_pages) {
        page->EnsureBuilt();
        page->setMinimumSize(0, 0);
        area = area.expandedTo(page->sizeHint()).expandedTo(page->minimumSizeHint());
    }
    // Wide enough for every tab, so no page hides behind the scroll arrows;
    // a sheet with more tabs than a sensible width holds scrolls them.
    const int tabs = m_tabs->tabBar()->sizeHint().width();
    m_tabs->setUsesScrollButtons(tabs > kMaxTabRowWidth);
    area.setWidth(std::max(area.width(), std::min(tabs, kMaxTabRowWidth)));
    for (CPropertyPage* page : m_pages)
        if (page->hasHeightForWidth())
            area.setHeight(std::max(area.height(), page->heightForWidth(area.width())));
    for (CPropertyPage* page : m_pages)
        page->setMinimumSize(area);
}

void CPropertySheetPlus::Activate(int index)
{
    m_active = index;
    CPropertyPage* page = GetPage(index);
    page->EnsureCreated();
    page->OnSetActive();
}

// The tab widget has already switched when it tells us; the switch is
// undone first, so the page being left is the one shown while it checks its
// values and keeps the focus when they fail.
void CPropertySheetPlus::OnTabChanged(int index)
{
    if (m_switching || index < 0 || index == m_active)
        return;
    if (m_active < 0) {
        Activate(index);
        return;
    }
    m_switching = true;
    {
        QSignalBlocker block(m_tabs);
        m_tabs->setCurrentIndex(m_active);
    }
    m_switching = false;
    if (SetActivePage(index))
        return;
    // Ctrl+Tab gives the tab bar the focus after this returns when the
    // application has no focus widget, as after the refusal's message box;
    // the typed correction would go nowhere. The refused field takes the
    // focus back once the key is handled, as after a click on the tab.
    QPointer<QWidget> refused = GetPage(m_active)->focusWidget();
    QTimer::singleShot(0, this, [refused] {
        if (refused)
            refused->setFocus(Qt::OtherFocusReason);
    });
}

bool CPropertySheetPlus::SetActivePage(int index)
{
    if (index < 0 || index >= GetPageCount())
        return false;
    Begin();
    if (index == m_active)
        return true;
    if (m_active >= 0 && !GetPage(m_active)->OnKillActive())
        return false;
    {
        QSignalBlocker block(m_tabs);
        m_tabs->setCurrentIndex(index);
    }
    Activate(index);
    return true;
}

void CPropertySheetPlus::accept()
{
    if (CPropertyPage* page = GetActivePage()) {
        if (!page->OnKillActive())
            return;
        page->OnOK();
    }
    if (m_acceptHandler && !m_acceptHandler())
        return;
    QDialog::accept();
}

void CPropertySheetPlus::reject()
{
    for (CPropertyPage* page : m_pages)
        if (page->IsCreated())
            page->OnCancel();
    QDialog::reject();
}
