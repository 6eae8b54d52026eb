// The Extension Mapping dialog: OK only while both fields hold text; an
// extension the map holds in any letter case is refused with the designed
// message and the dialog stays open on the MIME type field.

#include "app/extension_mapping_dialog.h"
#include "app_fixture.h"
#include "config/string_maps.h"

#include <QPushButton>

namespace {

const char* const kDuplicate =
    "There is already a MIME mapping for this extension.  There can be only one mapping for a given filename "
    "extension.";

TEST(ExtensionMappingDialog, OkIsEnabledOnlyWhileBothFieldsHoldTextOfAtMost64Characters)
{
    CMIMETypeMap map;
    ScriptedRunner runner;
    CExtensionMappingDialog dialog(map, nullptr);
    runner.steps.push_back([&](QDialog& shown) {
        auto* ok = Find<QPushButton>(shown, "button1");
        auto* extension = Find<QLineEdit>(shown, "edit1017");
        auto* type = Find<QLineEdit>(shown, "edit1018");
        const struct {
            const char* extension;
            const char* type;
            bool enabled;
        } steps[] = {{"", "", false}, {"kav", "", false}, {"kav", "text/x-kav", true}, {"", "text/x-kav", false},
                     {"k", "text/x-kav", true}};
        for (const auto& step : steps) {
            Retype(extension, QString::fromLatin1(step.extension));
            Retype(type, QString::fromLatin1(step.type));
            EXPECT_EQ(ok->isEnabled(), step.enabled) << step.extension << " / " << step.type;
        }
        // Each field takes 64 characters at most.
        Retype(extension, QString(65, QLatin1Char('x')));
        EXPECT_EQ(extension->text().size(), 64);
        Retype(type, QString(65, QLatin1Char('y')));
        EXPECT_EQ(type->text().size(), 64);
        QTest::mouseClick(Find<QPushButton>(shown, "button2"), Qt::LeftButton);
    });
    EXPECT_EQ(dialog.DoModal(), kIdCancel);
    EXPECT_EQ(runner.unscripted, 0);
}

TEST(ExtensionMappingDialog, RefusesAnExtensionAlreadyMappedInAnyCase)
{
    struct Case {
        const char* extension;
        const char* type;
        const char* message; // null: accepted
        const char* focused;
    };
    const Case cases[] = {
        {"htm", "text/plain", kDuplicate, "edit1018"},
        {"HTM", "text/plain", kDuplicate, "edit1018"},
        {"Htm", "text/plain", kDuplicate, "edit1018"},
        {"html", "text/html", nullptr, nullptr},
        {"Kav", "text/x-kav", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extension);
        CMIMETypeMap map;
        map.SetAt("htm", "text/html");
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        CExtensionMappingDialog dialog(map, nullptr);
        runner.steps.push_back([&](QDialog& shown) {
            Retype(Find<QLineEdit>(shown, "edit1017"), QString::fromLatin1(c.extension));
            Retype(Find<QLineEdit>(shown, "edit1018"), QString::fromLatin1(c.type));
            QTest::mouseClick(Find<QPushButton>(shown, "button1"), Qt::LeftButton);
            if (c.message) {
                EXPECT_TRUE(shown.isVisible()) << "the dialog stays open";
                EXPECT_TRUE(Find<QLineEdit>(shown, c.focused)->hasFocus());
                QTest::mouseClick(Find<QPushButton>(shown, "button2"), Qt::LeftButton);
            }
        });
        EXPECT_EQ(dialog.DoModal(), c.message ? kIdCancel : kIdOk);
        if (c.message) {
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].text, c.message);
            if (c.message == kDuplicate) {
                EXPECT_EQ(boxes.shown[0].helpId, 2052u);
            }
            continue;
        }
        EXPECT_TRUE(boxes.shown.empty());
        EXPECT_EQ(dialog.Extension, c.extension) << "kept as typed";
        EXPECT_EQ(dialog.MIMEType, c.type);
    }
}

} // namespace
