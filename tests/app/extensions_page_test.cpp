// The KAV extension-libraries page with real shared libraries the build
// makes: Add, Setup and Remove reach the registry at once and mark a
// restart, a file that is no extension library is refused with the
// designed message, and long values hide nothing.

#include "app/kit/control_lookup.h"
#include "app/kit/file_chooser.h"
#include "app/kit/property_sheet_plus.h"
#include "app/shared/extensions_page.h"
#include "app_fixture.h"
#include "config/config_fixture.h"
#include "config/registry_helpers.h"
#include "e2e/e2e_server.h"
#include "macro/extension_libraries.h"
#include "macro/macro_context.h"
#include "screenshot.h"

#include <QListWidget>

#include <deque>
#include <filesystem>

namespace {

const char* const kInvalidLibrary = "The selected file is not a valid KAV extension library.";
const char* const kRemovePrompt =
    "Are you sure you want to remove the KAV Extension library?  This will make any macros defined by the "
    "library unavailable to KAV documents.  The library's DLL itself will not be removed.";

// Answers file-open dialogs from a queue (cancelled when it runs dry) and
// keeps the filter each was shown.
class ScriptedChooser : public IFileChooser {
public:
    ScriptedChooser() { SetFileChooser(this); }
    ~ScriptedChooser() override { SetFileChooser(nullptr); }
    std::optional<QString> OpenFile(QWidget*, const QString&, const QString&, const QString& filter) override
    {
        filters.push_back(filter);
        if (answers.empty())
            return std::nullopt;
        std::optional<QString> answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<QString> SaveFile(QWidget*, const QString&, const QString&, const QString&) override
    {
        return std::nullopt;
    }
    std::optional<QString> Directory(QWidget*, const QString&, const QString&) override { return std::nullopt; }

    std::deque<std::optional<QString>> answers;
    QStringList filters;
};

class ExtensionsPageTest : public ConfigTest {
protected:
    void Show()
    {
        m_sheet = std::make_unique<CPropertySheetPlus>(QStringLiteral("Server Settings"), nullptr);
        m_sheet->AddPage(std::make_unique<CExtensionsPage>(platform::RegistryKey::LocalMachine()));
        m_sheet->show();
        QApplication::processEvents();
        m_list = FindControl<QListWidget>(m_sheet.get(), 1110);
    }
    void TearDown() override
    {
        m_sheet.reset();
        ConfigTest::TearDown();
    }
    platform::RegistryKey Extensions()
    {
        platform::RegistryKey key;
        EXPECT_EQ(platform::RegistryKey::LocalMachine().Create(kExtensionsKeyPath, key), platform::kErrorSuccess);
        return key;
    }
    // name -> data of every value under the key.
    std::map<std::string, std::string> Registered()
    {
        std::map<std::string, std::string> values;
        platform::RegistryKey key;
        if (platform::RegistryKey::LocalMachine().Open(kExtensionsKeyPath, key) != platform::kErrorSuccess)
            return values;
        std::string name, data;
        for (std::uint32_t i = 0; RegEnumValueString(key, i, name, data) == platform::kErrorSuccess; ++i)
            values[name] = data;
        return values;
    }
    QStringList Lines()
    {
        QStringList lines;
        for (int i = 0; i < m_list->count(); ++i)
            lines << m_list->item(i)->text();
        return lines;
    }
    void Select(int row)
    {
        QTest::mouseClick(m_list->viewport(), Qt::LeftButton, {}, m_list->visualItemRect(m_list->item(row)).center());
    }
    QPushButton* Button(int id) { return FindControl<QPushButton>(m_sheet.get(), id); }

    ScriptedMessageBoxes boxes;
    ScriptedChooser chooser;
    std::unique_ptr<CPropertySheetPlus> m_sheet;
    QListWidget* m_list = nullptr;
};

TEST_F(ExtensionsPageTest, AddRegistersARealLibraryAtOnceAndRefusesWhatIsNone)
{
    const std::string sample = VELMORA_SAMPLE_EXTENSION;
    e2e::WriteFile(m_dir / "plain.kav", "not a library\n");
    struct Case {
        std::optional<std::string> chosen; // nothing: the chooser is cancelled
        const char* message;               // null: registered
        bool restart;
    };
    const Case cases[] = {
        {std::nullopt, nullptr, false},
        {sample, nullptr, true},
        {sample, nullptr, true}, // again: still one value
        {m_dir / "plain.kav", kInvalidLibrary, false},
        {m_dir / "missing.kav", kInvalidLibrary, false},
        {std::string(VELMORA_SHORT_RECORD_EXTENSION), kInvalidLibrary, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chosen.value_or("(cancelled)"));
        boxes.shown.clear();
        Show();
        if (!c.chosen) {
            // No key yet: an empty list, and only Add is enabled.
            EXPECT_EQ(m_list->count(), 0);
            EXPECT_TRUE(Button(1175)->isEnabled());
        }
        chooser.answers.push_back(c.chosen ? std::optional<QString>(QString::fromStdString(*c.chosen)) : std::nullopt);
        QTest::mouseClick(Button(1175), Qt::LeftButton);
        EXPECT_EQ(chooser.filters.back(), "KAV Extensions (*.kav);;Shared libraries (*.so)");
        ASSERT_EQ(boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(boxes.shown[0].text, c.message);
            EXPECT_EQ(boxes.shown[0].helpId, 2095u);
        }
        EXPECT_EQ(m_sheet->m_bRestart, c.restart ? 1 : 0);
        if (c.chosen && !c.message) {
            EXPECT_EQ(Lines(), QStringList{QString::fromStdString("Sample KAV extension\t" + sample)});
        }
        EXPECT_FALSE(Button(1113)->isEnabled()) << "a refilled list has no selection";
        EXPECT_FALSE(Button(1176)->isEnabled());
    }
    const std::map<std::string, std::string> expected = {{sample, "Sample KAV extension"}};
    EXPECT_EQ(Registered(), expected) << "in the registry at once, before any OK";

    // The servers' loader takes what the page registered.
    CMacroContext global;
    LoadExtensionLibraries(global);
    EXPECT_EQ(LoadedExtensionLibraries(), 1u);
    UnloadExtensionLibraries();
}

// Values are read whole: a path or description far past the old fixed
// fields hides neither its own line nor any after it.
TEST_F(ExtensionsPageTest, LongPathsAndDescriptionsHideNoLibrary)
{
    std::filesystem::path deep = m_dir.Path();
    while (deep.string().size() < 320)
        deep /= std::string(60, 'd');
    std::filesystem::create_directories(deep);
    const std::string longPath = deep / "sample.kav";
    std::filesystem::copy_file(VELMORA_SAMPLE_EXTENSION, longPath);
    const std::string longDescription(400, 'x');
    platform::RegistryKey key = Extensions();
    key.SetString("/opt/kav/first.kav", "First library");
    key.SetString(longPath, "Sample in a deep folder");
    key.SetString("/opt/kav/wordy.kav", longDescription);
    key.SetString("/opt/kav/last.kav", "Last library");
    Show();
    EXPECT_EQ(Lines(), (QStringList{"First library\t/opt/kav/first.kav", "Last library\t/opt/kav/last.kav",
                                    QString::fromStdString("Sample in a deep folder\t" + longPath),
                                    QString::fromStdString(longDescription + "\t/opt/kav/wordy.kav")}));
    // The long path reads back whole from its line: Remove finds its value.
    boxes.answers.push_back(kIdYes);
    Select(2);
    QTest::mouseClick(Button(1176), Qt::LeftButton);
    EXPECT_EQ(Registered().count(longPath), 0u);
    EXPECT_EQ(Registered().size(), 3u);
}

TEST_F(ExtensionsPageTest, RemoveAsksWithNoAsTheDefaultAndSetupMarksARestartOnlyWhenTheLibrarySaysSo)
{
    const std::string setup = VELMORA_SETUP_EXTENSION;
    const std::string sample = VELMORA_SAMPLE_EXTENSION;
    Extensions().SetString(setup, "Setup sample extension");
    Extensions().SetString(sample, "Sample KAV extension");
    struct Case {
        const char* answer;   // what the library's setup returns; null: Remove
        int row;
        int removeAnswer;
        bool restart;
        std::size_t left;
    };
    const Case cases[] = {
        {"0", 1, 0, false, 2},
        {"1", 1, 0, true, 2},
        {"1", 0, 0, false, 2}, // the sample library has no setup function
        {nullptr, 0, kIdNo, false, 2},
        {nullptr, 0, kIdYes, true, 1},
    };
    Show();
    Select(0);
    SaveScreenshot(*m_sheet, "extensions_page");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.row) + (c.answer ? c.answer : " remove"));
        boxes.shown.clear();
        Show();
        Select(c.row);
        if (c.answer) {
            ::setenv("VELMORA_KAV_SETUP_ANSWER", c.answer, 1);
            QTest::mouseClick(Button(1113), Qt::LeftButton);
            ::unsetenv("VELMORA_KAV_SETUP_ANSWER");
            EXPECT_TRUE(boxes.shown.empty());
        } else {
            boxes.answers.push_back(c.removeAnswer);
            QTest::mouseClick(Button(1176), Qt::LeftButton);
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].text, kRemovePrompt);
            EXPECT_EQ(boxes.shown[0].type, kMbYesNo | kMbDefButton2);
        }
        EXPECT_EQ(m_sheet->m_bRestart, c.restart ? 1 : 0);
        EXPECT_EQ(Registered().size(), c.left);
    }
    EXPECT_TRUE(std::filesystem::exists(sample)) << "the library file itself stays";
}

} // namespace
