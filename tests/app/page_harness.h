#pragma once
// A page in a sheet of its own, shown offscreen at its opening size, with
// message boxes and modal dialogs answered by script; and screenshots of
// what is shown, kept under the build folder's tests/app/artefacts/.

#include "app/kit/control_lookup.h"
#include "app/kit/property_sheet_plus.h"
#include "app_fixture.h"
#include "screenshot.h"

#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>

// Presses OK as a person does; a refused OK keeps the dialog open, and
// the person then cancels. True when the dialog was accepted.
inline bool OkOrElseCancel(QDialog& dialog)
{
    QTest::mouseClick(FindControl<QPushButton>(&dialog, 1), Qt::LeftButton);
    if (dialog.result() == QDialog::Accepted)
        return true;
    EXPECT_TRUE(dialog.isVisible()) << "a refused OK keeps the dialog open";
    QTest::mouseClick(FindControl<QPushButton>(&dialog, 2), Qt::LeftButton);
    return false;
}

// The texts of a list's lines, in order.
inline std::vector<std::string> Lines(QListWidget* list)
{
    std::vector<std::string> lines;
    for (int row = 0; row < list->count(); ++row)
        lines.push_back(list->item(row)->text().toStdString());
    return lines;
}

// Selects the line whose text is text, as a click on it would.
inline void SelectLine(QListWidget* list, const QString& text)
{
    QList<QListWidgetItem*> found = list->findItems(text, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << text.toStdString();
    list->setCurrentItem(found[0]);
}

// A double click on a line, as a person gives one.
inline void DoubleClickLine(QListWidget* list, int row)
{
    QPoint at = list->visualItemRect(list->item(row)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

inline void Click(QWidget& root, int id)
{
    auto* button = Control<QPushButton>(root, id);
    ASSERT_TRUE(button);
    ASSERT_TRUE(button->isEnabled()) << "control " << id << " is disabled";
    QTest::mouseClick(button, Qt::LeftButton);
}

// In the Global HTTP Settings sheet: Edit on the server listening on port
// at 127.0.0.1 (the step then works the server's own sheet), then OK.
inline void EditLoopbackServer(CPropertySheetPlus& global, std::uint16_t port)
{
    EXPECT_EQ(global.windowTitle(), "Global HTTP Settings");
    auto* list = Control<QListWidget>(*global.GetActivePage(), 1049);
    ASSERT_NE(list, nullptr) << "the HTTP servers come first";
    for (int row = 0; row < list->count(); ++row)
        if (list->item(row)->text().startsWith(QStringLiteral("%1\t127.0.0.1\t").arg(port)))
            list->setCurrentRow(row);
    ASSERT_GE(list->currentRow(), 0) << "no line for port " << port;
    Click(*global.GetActivePage(), 1144);
    QTest::mouseClick(global.OkButton(), Qt::LeftButton);
}

// The part of a tab bar where tabs show, beside its scroll arrows.
inline QRect TabsShown(QTabBar* bar)
{
    QRect shown = bar->rect();
    for (QToolButton* arrow : bar->findChildren<QToolButton*>()) {
        if (!arrow->isVisible())
            continue;
        if (arrow->geometry().center().x() < shown.center().x())
            shown.setLeft(std::max(shown.left(), arrow->geometry().right() + 1));
        else
            shown.setRight(std::min(shown.right(), arrow->geometry().left() - 1));
    }
    return shown;
}

// Shows the sheet's page titled title, as a click on its tab does.
inline void ClickTab(CPropertySheetPlus& sheet, const char* title)
{
    QTabBar* bar = sheet.Tabs()->tabBar();
    for (int i = 0; i < bar->count(); ++i) {
        if (bar->tabText(i) == QLatin1String(title)) {
            // A sheet whose tabs scroll: the arrows bring the tab into view.
            for (int step = 0; step < bar->count() && !TabsShown(bar).contains(bar->tabRect(i)); ++step) {
                const Qt::ArrowType way =
                    bar->tabRect(i).left() < TabsShown(bar).left() ? Qt::LeftArrow : Qt::RightArrow;
                for (QToolButton* arrow : bar->findChildren<QToolButton*>())
                    if (arrow->arrowType() == way && arrow->isVisible())
                        QTest::mouseClick(arrow, Qt::LeftButton);
                QApplication::processEvents();
            }
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(i).center());
            QApplication::processEvents();
            ASSERT_EQ(sheet.GetActiveIndex(), i) << title;
            return;
        }
    }
    FAIL() << "no page " << title;
}

// The titles of the sheet's tabs, in order.
inline std::vector<std::string> TabTitles(CPropertySheetPlus& sheet)
{
    std::vector<std::string> titles;
    for (int i = 0; i < sheet.Tabs()->count(); ++i)
        titles.push_back(sheet.Tabs()->tabText(i).toStdString());
    return titles;
}

template <class Page>
class PageHarness {
public:
    explicit PageHarness(std::unique_ptr<Page> made) : sheet(QStringLiteral("Server Settings"), nullptr)
    {
        page = sheet.AddPage(std::move(made));
        sheet.show();
        QApplication::processEvents();
        // The page is built when first shown; the sheet then takes its size.
        sheet.adjustSize();
        QApplication::processEvents();
    }
    ~PageHarness() { sheet.hide(); }

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CPropertySheetPlus sheet;
    Page* page = nullptr;
};
