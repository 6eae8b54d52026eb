// The KAV reference (docs/kav.md) names every macro of the built-in table,
// as the engine registers it: a new built-in without its entry fails here.

#include "config/config_fixture.h"
#include "macro/builtin_macros.h"
#include "macro/macro_context.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class KavReferenceTest : public ConfigTest {
protected:
    void TearDown() override
    {
        TerminateBuiltinMacros();
        m_global.GetMacros().DeleteAll();
        ConfigTest::TearDown();
    }
    CMacroContext m_global;
};

TEST_F(KavReferenceTest, NamesEveryBuiltinMacro)
{
    std::ifstream file(VELMORA_TEST_SOURCE_DIR "/../../docs/kav.md");
    ASSERT_TRUE(file) << "docs/kav.md is missing";
    std::stringstream text;
    text << file.rdbuf();
    const std::string reference = text.str();

    InitBuiltinMacros(&m_global);
    ASSERT_GT(m_global.GetMacros().GetCount(), 100);
    std::vector<std::string> missing;
    for (const auto& entry : m_global.GetMacros()) {
        // A name is documented where the reference writes it as code.
        if (reference.find("`" + std::string(entry.key) + "`") == std::string::npos)
            missing.emplace_back(entry.key);
    }
    std::string names;
    for (const auto& name : missing)
        names += " " + name;
    EXPECT_TRUE(missing.empty()) << "not in docs/kav.md:" << names;
}

} // namespace
