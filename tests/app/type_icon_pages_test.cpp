// The type list and icon list pages and the MIME Icon dialog as a person
// works them: what each variant shows, what reaches the maps (keys folded,
// values as typed), the designed refusal of a second icon for a MIME type,
// and the reserved entries kept from their edits whichever page is shown
// when the sheet ends.

#include "app/http/icon_list_page.h"
#include "app/http/mime_icon_dialog.h"
#include "app/http/type_list_page.h"
#include "config/string_maps.h"
#include "page_harness.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include <map>

namespace {

constexpr const char* kIconDuplicate =
    "There is already an icon specified for that MIME type.  Only one icon can be specified for each type.";

std::map<std::string, std::string> Held(const CRegStringMap& map)
{
    auto entries = map.GetEntriesAsHeld();
    return {entries.begin(), entries.end()};
}

QStringList Choices(QComboBox* box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

TEST(TypeListPage, EachVariantShowsItsMapAndStoresFoldedKeys)
{
    struct Case {
        const CMapListKind* kind;
        const char* typed;  // the key typed in the Extension Mapping dialog
        const char* stored; // the key it is stored under
    };
    const Case cases[] = {
        {&kMimeTypesKind, "KAV", "kav"},
        {&kFtpTypesKind, "Txt", "txt"},
        {&kGopherTypesKind, "I", "i"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind->caption);
        CMIMETypeMap map;
        map.SetAt("*", "text/plain");
        map.SetAt("htm", "text/html");
        PageHarness<CTypeListPage> h(std::make_unique<CTypeListPage>(*c.kind, map));
        QWidget& page = *h.page;
        EXPECT_EQ(ReadingFault(page), "");
        EXPECT_EQ(h.sheet.Tabs()->tabText(0).toStdString(), c.kind->caption);
        EXPECT_EQ(Find<QLabel>(page, "listLabel")->text().toStdString(), c.kind->label);
        auto* list = Control<QListWidget>(page, 1016);
        EXPECT_EQ(Control<QLineEdit>(page, 1026)->text(), "text/plain");
        EXPECT_EQ(Lines(list), std::vector<std::string>{"htm\ttext/html"});
        if (c.kind == &kMimeTypesKind)
            SaveScreenshot(h.sheet, "mime-types-page");

        h.runner.steps.push_back([&](QDialog& shown) {
            Retype(Control<QLineEdit>(shown, 1017), QString::fromLatin1(c.typed));
            Retype(Control<QLineEdit>(shown, 1018), QStringLiteral("Image/X-Kav"));
            QTest::mouseClick(Control<QPushButton>(shown, 1), Qt::LeftButton);
        });
        Click(page, 1166);
        EXPECT_EQ(Held(map)[c.stored], "Image/X-Kav") << "key folded, value as typed";
        EXPECT_EQ(Lines(list), (std::vector<std::string>{"htm\ttext/html", std::string(c.stored) + "\tImage/X-Kav"}));
        EXPECT_EQ(list->currentRow(), 0) << "a new entry leaves the first line selected";

        // Edit then Cancel puts the entry back as it was; OK with no change is no duplicate.
        SelectLine(list, QStringLiteral("htm\ttext/html"));
        h.runner.steps.push_back([](QDialog& shown) {
            Retype(Control<QLineEdit>(shown, 1018), QStringLiteral("text/changed"));
            QTest::mouseClick(Control<QPushButton>(shown, 2), Qt::LeftButton);
        });
        Click(page, 1167);
        h.runner.steps.push_back(
            [](QDialog& shown) { QTest::mouseClick(Control<QPushButton>(shown, 1), Qt::LeftButton); });
        DoubleClickLine(list, 0);
        EXPECT_TRUE(h.boxes.shown.empty());
        EXPECT_EQ(Held(map)["htm"], "text/html");

        SelectLine(list, QStringLiteral("htm\ttext/html"));
        Click(page, 1168);
        EXPECT_EQ(Held(map).count("htm"), 0u);
        EXPECT_EQ(Lines(list).size(), 1u);
    }
}

TEST(IconListPage, ShowsReservedEntriesInTheirEditsAndStoresIcons)
{
    CIconMap icons;
    icons.SetAt("*", "/icons/default.gif");
    icons.SetAt("**", "/icons/folder.gif");
    icons.SetAt("image/gif", "/icons/image.gif");
    CMIMETypeMap types;
    types.SetAt("gif", "image/gif");
    types.SetAt("mpg", "video/mpeg");
    PageHarness<CIconListPage> h(std::make_unique<CIconListPage>(kMimeIconsKind, icons, types));
    QWidget& page = *h.page;
    EXPECT_EQ(ReadingFault(page), "");
    EXPECT_EQ(Control<QLineEdit>(page, 1026)->text(), "/icons/default.gif");
    EXPECT_EQ(Control<QLineEdit>(page, 1028)->text(), "/icons/folder.gif");
    auto* list = Control<QListWidget>(page, 1027);
    EXPECT_EQ(Lines(list), std::vector<std::string>{"image/gif\t/icons/image.gif"});
    SaveScreenshot(h.sheet, "mime-icons-page");

    h.runner.steps.push_back([](QDialog& shown) {
        QTest::keyClicks(Control<QComboBox>(shown, 1018), QStringLiteral("Video/MPEG"));
        Retype(Control<QLineEdit>(shown, 1028), QStringLiteral("/icons/Movie.gif"));
        QTest::mouseClick(Control<QPushButton>(shown, 1), Qt::LeftButton);
    });
    Click(page, 1146);
    EXPECT_EQ(Held(icons)["video/mpeg"], "/icons/Movie.gif");
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"image/gif\t/icons/image.gif", "video/mpeg\t/icons/Movie.gif"}));
    EXPECT_EQ(list->currentRow(), 0) << "a new icon leaves the first line selected";

    // Editing an icon and pressing OK unchanged is no duplicate.
    SelectLine(list, QStringLiteral("image/gif\t/icons/image.gif"));
    h.runner.steps.push_back(
        [](QDialog& shown) { QTest::mouseClick(Control<QPushButton>(shown, 1), Qt::LeftButton); });
    Click(page, 1147);
    EXPECT_TRUE(h.boxes.shown.empty());
    EXPECT_EQ(Held(icons).size(), 4u);
}

// An edit of a reserved entry reaches the map when the page is left, not
// only when the sheet's OK finds the page shown.
TEST(TypeAndIconPages, ReservedEditsSurviveLeavingThePage)
{
    struct Case {
        bool iconPage;
        int edit;
        const char* key;
        const char* typed; // empty: the entry is removed
        bool leaveFirst;
    };
    const Case cases[] = {
        {false, 1026, "*", "application/octet-stream", false},
        {false, 1026, "*", "application/octet-stream", true},
        {false, 1026, "*", "", true},
        {true, 1026, "*", "/icons/other.gif", true},
        {true, 1028, "**", "/icons/dir.gif", true},
        {true, 1028, "**", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.typed + (c.leaveFirst ? " after leaving" : " while shown"));
        CMIMETypeMap types;
        types.SetAt("*", "text/plain");
        CIconMap icons;
        icons.SetAt("*", "/icons/default.gif");
        icons.SetAt("**", "/icons/folder.gif");
        CMIMETypeMap other;
        CPropertySheetPlus sheet(QStringLiteral("Server Settings"), nullptr);
        CPropertyPage* page = c.iconPage ? static_cast<CPropertyPage*>(sheet.AddPage(
                                               std::make_unique<CIconListPage>(kMimeIconsKind, icons, types)))
                                         : sheet.AddPage(std::make_unique<CTypeListPage>(kMimeTypesKind, types));
        sheet.AddPage(std::make_unique<CTypeListPage>(kFtpTypesKind, other));
        sheet.show();
        QApplication::processEvents();
        Retype(Control<QLineEdit>(*page, c.edit), QString::fromLatin1(c.typed));
        if (c.leaveFirst)
            sheet.Tabs()->setCurrentIndex(1);
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        auto held = Held(c.iconPage ? static_cast<CRegStringMap&>(icons) : types);
        if (*c.typed) {
            EXPECT_EQ(held[c.key], c.typed);
        } else {
            EXPECT_EQ(held.count(c.key), 0u);
        }
        sheet.hide();
    }
}

TEST(MimeIconDialog, OffersEachTypeOnceAndRefusesASecondIcon)
{
    struct Case {
        const char* type;
        const char* url;
        bool okEnabled;
        bool refused;
    };
    const Case cases[] = {
        {"", "", false, false},
        {"image/png", "", false, false},
        {"", "/icons/png.gif", false, false},
        {"image/gif", "/icons/g.gif", true, true},
        {"Image/GIF", "/icons/g.gif", true, true},
        {"image/png", "/icons/png.gif", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.url);
        CIconMap icons;
        icons.SetAt("image/gif", "/icons/image.gif");
        CMIMETypeMap types;
        // Listed first (map order), so a prefix test would drop video/mpeg.
        types.SetAt("mp4", "video/mpeg4");
        types.SetAt("mpeg", "video/mpeg");
        types.SetAt("mpe", "video/mpeg");
        types.SetAt("gif", "image/gif");
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        CMimeIconDialog dialog(icons, types, nullptr);
        runner.steps.push_back([&](QDialog& shown) {
            auto* box = Control<QComboBox>(shown, 1018);
            auto* ok = Control<QPushButton>(shown, 1);
            EXPECT_FALSE(ok->isEnabled());
            // Each MIME type once; one that begins another is listed too.
            EXPECT_EQ(Choices(box), (QStringList{"image/gif", "video/mpeg", "video/mpeg4"}));
            if (&c == &cases[0]) {
                EXPECT_EQ(ReadingFault(shown), "");
                EXPECT_TRUE(shown.grab().save(QString::fromStdString(ArtefactPath("mime-icon.png").string())));
            }
            box->setEditText(QString::fromLatin1(c.type));
            Retype(Control<QLineEdit>(shown, 1028), QString::fromLatin1(c.url));
            EXPECT_EQ(ok->isEnabled(), c.okEnabled);
            QTest::mouseClick(ok, Qt::LeftButton);
            if (c.refused) {
                EXPECT_TRUE(shown.isVisible()) << "the dialog stays open";
                EXPECT_EQ(shown.focusWidget(), Control<QLineEdit>(shown, 1028));
            }
            if (shown.isVisible())
                QTest::mouseClick(Control<QPushButton>(shown, 2), Qt::LeftButton);
        });
        const bool accepted = c.okEnabled && !c.refused;
        EXPECT_EQ(dialog.DoModal(), accepted ? kIdOk : kIdCancel);
        ASSERT_EQ(boxes.shown.size(), c.refused ? 1u : 0u);
        if (c.refused) {
            EXPECT_EQ(boxes.shown[0].text, kIconDuplicate);
            EXPECT_EQ(boxes.shown[0].helpId, 2061u);
        }
        if (accepted) {
            EXPECT_EQ(dialog.MIMEType, c.type);
        }
    }
}

} // namespace
