// The sample extension library loaded from the registry list: its macros in
// the global scope, the interface objects it uses, and its unload.

#include "config/config_fixture.h"
#include "macro/builtin_macros.h"
#include "macro/extension_libraries.h"
#include "macro/macro_context.h"

#include <gtest/gtest.h>

namespace {

class ExtensionLibrariesTest : public ConfigTest {
protected:
    void TearDown() override
    {
        TerminateBuiltinMacros();
        m_global.GetMacros().DeleteAll();
        ConfigTest::TearDown();
    }
    void List(const std::vector<std::pair<std::string, std::string>>& libraries)
    {
        platform::RegistryKey key;
        ASSERT_EQ(platform::RegistryKey::LocalMachine().Create(kExtensionsKeyPath, key), platform::kErrorSuccess);
        for (const auto& [path, description] : libraries)
            key.SetString(path, description);
    }
    std::string Expand(const std::string& text)
    {
        CTextBuffer out;
        m_global.Expand(&out, text);
        return out.ToString();
    }
    CMacroContext m_global;
};

TEST_F(ExtensionLibrariesTest, MacrosWorkInAPageAndGoAtEngineStop)
{
    // Long names and descriptions, and a library that is not there, come
    // first: none of them ends the list.
    List({{"/nonexistent/" + std::string(400, 'p') + ".so", "missing"},
          {VELMORA_SAMPLE_EXTENSION, std::string(1000, 'd')}});
    InitBuiltinMacros(&m_global);
    ASSERT_EQ(LoadedExtensionLibraries(), 1u);
    const struct {
        const char* page;
        const char* expected;
    } cases[] = {
        {"%ext-hello(you)", "Hello, you!"},
        {"%EXT-HELLO(you)", "Hello, you!"},
        {"%toupper(abc)", "ABC"},
        {"%ext-twice(ab)", "abab"},
        {"%ext-define(Mine)%mine%", "shout"},
        {"%ext-probe%", "alone caller-sees [1.1]Hello, x! still"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Expand(c.page), c.expected) << c.page;
    // Released before the library's code goes, so nothing can call into it.
    TerminateBuiltinMacros();
    EXPECT_EQ(LoadedExtensionLibraries(), 0u);
    EXPECT_EQ(m_global.FindMacro("ext-hello"), nullptr);
    EXPECT_EQ(m_global.FindMacro("mine"), nullptr);
    EXPECT_EQ(Expand("%ext-hello(you)"), "%ext-hello(you)");
    // The next start loads it again, once.
    InitBuiltinMacros(&m_global);
    InitBuiltinMacros(&m_global);
    EXPECT_EQ(LoadedExtensionLibraries(), 1u);
    EXPECT_EQ(Expand("%ext-hello(again)|%kav-version%|%vl-version%|%vl-build%"), "Hello, again!|1.1|1.51|12");
}

TEST_F(ExtensionLibrariesTest, WithoutTheListTheBuiltinsStay)
{
    InitBuiltinMacros(&m_global);
    EXPECT_EQ(LoadedExtensionLibraries(), 0u);
    EXPECT_EQ(m_global.GetMacros().GetBucketCount(), 511u);
    EXPECT_EQ(Expand("%toupper(abc)|%defined(sql)|%defined(smtp-mail)|%defined(counter)|%defined(pget)"),
              "ABC|T|T|T|T");
}

} // namespace
