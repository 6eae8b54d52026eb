// The Extension Mapping dialog: OK only while both fields hold text; an
// extension the map holds in any letter case is refused with the designed
// message and the dialog stays open on the MIME type field.

#include "app/http/extension_mapping_dialog.h"
#include "app_fixture.h"
#include "config/string_maps.h"

#include <QPushButton>

namespace {

TEST(ExtensionMappingDialog, OkNeedsBothFieldsAndRefusesAnExtensionMappedInAnyCase)
{
    const char* const duplicate = "There is already a MIME mapping for this extension.  There can be only one "
                                  "mapping for a given filename extension.";
    struct Case {
        const char* extension;
        const char* type;
        bool okEnabled;
        const char* message; // null: accepted (when enabled)
    };
    const Case cases[] = {
        {"", "", false, nullptr},
        {"kav", "", false, nullptr},
        {"", "text/x-kav", false, nullptr},
        {"htm", "text/plain", true, duplicate},
        {"HTM", "text/plain", true, duplicate},
        {"hTm", "text/plain", true, duplicate},
        {"html", "text/html", true, nullptr},
        {"Kav", "text/x-kav", true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.extension) + " " + c.type);
        CMIMETypeMap map;
        map.SetAt("htm", "text/html");
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        CExtensionMappingDialog dialog(map, nullptr);
        runner.steps.push_back([&](QDialog& shown) {
            auto* ok = Control<QPushButton>(shown, 1);
            EXPECT_FALSE(ok->isEnabled());
            if (&c == &cases[0]) {
                EXPECT_EQ(ReadingFault(shown), "");
                EXPECT_TRUE(shown.grab().save(QString::fromStdString(ArtefactPath("extension-mapping.png").string())));
            }
            Retype(Control<QLineEdit>(shown, 1017), QString::fromLatin1(c.extension));
            Retype(Control<QLineEdit>(shown, 1018), QString::fromLatin1(c.type));
            EXPECT_EQ(ok->isEnabled(), c.okEnabled);
            QTest::mouseClick(ok, Qt::LeftButton);
            if (c.message) {
                EXPECT_TRUE(shown.isVisible()) << "the dialog stays open";
                EXPECT_EQ(shown.focusWidget(), Control<QLineEdit>(shown, 1018));
            }
            if (shown.isVisible())
                QTest::mouseClick(Control<QPushButton>(shown, 2), Qt::LeftButton);
        });
        bool accepted = c.okEnabled && !c.message;
        EXPECT_EQ(dialog.DoModal(), accepted ? kIdOk : kIdCancel);
        ASSERT_EQ(boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(boxes.shown[0].text, c.message);
            EXPECT_EQ(boxes.shown[0].helpId, 2052u);
        }
        if (accepted) {
            EXPECT_EQ(dialog.Extension, c.extension) << "kept as typed";
            EXPECT_EQ(dialog.MIMEType, c.type);
        }
    }
}

} // namespace
