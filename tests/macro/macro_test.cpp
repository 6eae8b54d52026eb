#include "macro/macro.h"

#include "framework/text_buffer.h"
#include "macro/macro_context.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

std::string Evaluate(CMacro& macro, CMacroContext& scope)
{
    CTextBuffer out;
    const char* argv[] = {nullptr};
    macro.Evaluate(&scope, &out, argv, 0);
    return out.ToString();
}

TEST(MacroKinds, EachAppendsAsDesigned)
{
    CMacroContext scope;
    scope.Register("x", std::make_unique<CValueMacro>("X"));

    CValueMacro value("%x% raw");
    EXPECT_EQ(Evaluate(value, scope), "%x% raw");

    const char* constantText = "const %x%";
    CConstantMacro constant(constantText);
    EXPECT_EQ(Evaluate(constant, scope), "const %x%");
    CConstantMacro empty("");
    EXPECT_EQ(Evaluate(empty, scope), "");
    CConstantMacro null(nullptr);
    EXPECT_EQ(Evaluate(null, scope), "");

    std::string owned = "before";
    CStringRefMacro ref(&owned);
    EXPECT_EQ(Evaluate(ref, scope), "before");
    owned = "after %x%";
    EXPECT_EQ(Evaluate(ref, scope), "after %x%"); // the current text, unexpanded

    int number = -42;
    CIntRefMacro intRef(&number);
    EXPECT_EQ(Evaluate(intRef, scope), "-42");
    number = INT_MIN;
    EXPECT_EQ(Evaluate(intRef, scope), std::to_string(INT_MIN));
    number = 0;
    EXPECT_EQ(Evaluate(intRef, scope), "0");

    CStringMacro string("[%x%]");
    EXPECT_EQ(Evaluate(string, scope), "[X]");
}

TEST(MacroKinds, KindIsValueAndOnlyStringMacrosHaveText)
{
    std::string owned = "o";
    int number = 1;
    CValueMacro value("v");
    CConstantMacro constant("c");
    CStringRefMacro ref(&owned);
    CIntRefMacro intRef(&number);
    CStringMacro string("the %text%");
    for (CMacro* macro : std::initializer_list<CMacro*>{&value, &constant, &ref, &intRef, &string}) {
        EXPECT_STREQ(macro->GetKind(), "value");
        std::string text = "stale";
        macro->GetText(text);
        EXPECT_EQ(text, macro == &string ? "the %text%" : "");
    }
}

} // namespace
