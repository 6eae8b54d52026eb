#include "macro/macro_context.h"

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_exception.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <string>

using macro_test::ExpandExact;
using macro_test::RegisterTestMacros;

namespace {

class CCountedMacro : public CMacro {
public:
    CCountedMacro(int* deaths, std::string text) : m_deaths(deaths), m_text(std::move(text)) {}
    ~CCountedMacro() override { ++*m_deaths; }
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override { out->Append(m_text); }

private:
    int* m_deaths;
    std::string m_text;
};

std::string Call(CMacroContext& scope, const char* name, CMacroContext* caller = nullptr)
{
    CTextBuffer out;
    const char* argv[] = {nullptr};
    int found = scope.CallMacro(&out, name, argv, 0, caller);
    return (found ? "found:" : "none:") + out.ToString();
}

TEST(MacroContextRegister, ReplacesDeletingTheOldAndNullRemoves)
{
    int deaths = 0;
    CMacroContext scope;
    EXPECT_EQ(scope.Register("m", std::make_unique<CCountedMacro>(&deaths, "one")), 1);
    EXPECT_EQ(scope.Register("m", std::make_unique<CCountedMacro>(&deaths, "two")), 1);
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(scope.GetMacros().GetCount(), 1);
    EXPECT_EQ(Call(scope, "m"), "found:two");
    EXPECT_EQ(scope.Register("m", nullptr), 1);
    EXPECT_EQ(deaths, 2);
    EXPECT_EQ(Call(scope, "m"), "none:");
    EXPECT_EQ(scope.Register("absent", nullptr), 1);
    // The name is used exactly as given.
    scope.Register("Upper", std::make_unique<CValueMacro>("U"));
    EXPECT_EQ(Call(scope, "upper"), "none:");
    EXPECT_EQ(Call(scope, "Upper"), "found:U");
}

TEST(MacroContextRegister, ReadOnlyScopeRefusesAndLeavesTheObjectWithTheCaller)
{
    int deaths = 0;
    CMacroContext scope;
    scope.Register("m", std::make_unique<CCountedMacro>(&deaths, "kept"));
    scope.SetReadOnly(true);
    EXPECT_TRUE(scope.IsReadOnly());
    auto offered = std::make_unique<CCountedMacro>(&deaths, "new");
    EXPECT_EQ(scope.Register("m", std::move(offered)), 0);
    ASSERT_NE(offered, nullptr) << "a refused object stays with the caller";
    EXPECT_EQ(scope.Register("m", nullptr), 0);
    EXPECT_EQ(scope.Register("other", std::make_unique<CValueMacro>("x")), 0);
    EXPECT_EQ(deaths, 0);
    EXPECT_EQ(Call(scope, "m"), "found:kept");
    EXPECT_EQ(Call(scope, "other"), "none:");
    EXPECT_EQ(scope.GetMacros().GetCount(), 1);
    offered.reset();
    EXPECT_EQ(deaths, 1);
    // A read-only scope's macros still run, and still with the caller's scope.
    scope.Register("s", std::make_unique<CStringMacro>("%who%")); // refused
    CMacroContext inner(&scope);
    inner.Register("who", std::make_unique<CValueMacro>("inner"));
    EXPECT_EQ(ExpandExact(inner, "%m%"), "kept");
}

TEST(MacroContextFind, ColonsChooseWhereTheSearchStarts)
{
    CMacroContext global, server(&global), request(&server);
    global.Register("title", std::make_unique<CValueMacro>("G"));
    server.Register("title", std::make_unique<CValueMacro>("S"));
    request.Register("title", std::make_unique<CValueMacro>("R"));
    global.Register(":title", std::make_unique<CValueMacro>("G-colon"));
    global.Register("only-global", std::make_unique<CValueMacro>("g"));

    struct Case {
        const char* name;
        const char* expected;
        CMacroContext* holder;
    } cases[] = {
        {"title", "found:R", &request},
        {":title", "found:S", &server},
        {"::title", "found:G", &global},
        {":::title", "found:G-colon", &global}, // more colons than ancestors
        {"::::title", "none:", nullptr},
        {"only-global", "found:g", &global},
        {":only-global", "found:g", &global},
        {"missing", "none:", nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Call(request, c.name), c.expected) << c.name;
        CMacroContext* holder = &request;
        CMacro* macro = request.FindMacro(c.name, &holder);
        EXPECT_EQ(macro != nullptr, c.holder != nullptr) << c.name;
        EXPECT_EQ(holder, c.holder) << c.name;
    }
    // FindMacro works without a holder too.
    EXPECT_NE(request.FindMacro("title"), nullptr);
}

TEST(MacroContextFind, NameOfOnlyColonsSearchesTheOutermostForWhatIsLeft)
{
    CMacroContext outer, inner(&outer);
    outer.Register(":", std::make_unique<CValueMacro>("one colon"));
    outer.Register("", std::make_unique<CValueMacro>("empty"));
    EXPECT_EQ(Call(inner, "::"), "found:one colon");
    EXPECT_EQ(Call(inner, ":"), "found:empty");
    EXPECT_EQ(Call(inner, ":::"), "none:");
}

TEST(MacroContextCall, RunsWithTheCallersScope)
{
    CMacroContext global, request(&global);
    global.Register("page", std::make_unique<CStringMacro>("[%who%]"));
    global.Register("who", std::make_unique<CValueMacro>("global"));
    request.Register("who", std::make_unique<CValueMacro>("request"));
    // Found in the global scope, expanded with the request's macros visible.
    EXPECT_EQ(Call(request, "page"), "found:[request]");
    EXPECT_EQ(ExpandExact(request, "%page%"), "[request]");
    // An explicit caller wins over the scope the call is made on.
    EXPECT_EQ(Call(global, "page", &request), "found:[request]");
    EXPECT_EQ(Call(global, "page"), "found:[global]");
    // Unknown: 0 and nothing appended.
    CTextBuffer out;
    out.Append("x");
    const char* argv[] = {nullptr};
    EXPECT_EQ(request.CallMacro(&out, "nosuch", argv, 0), 0);
    EXPECT_EQ(out.ToString(), "x");
}

// Re-registers its own name while it runs, then keeps using its own fields.
class CSelfReplacingMacro : public CMacro {
public:
    CSelfReplacingMacro(int* deaths, bool remove) : m_deaths(deaths), m_remove(remove), m_text(std::string(200, 's')) {}
    ~CSelfReplacingMacro() override { ++*m_deaths; }
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char**, int) override
    {
        if (m_remove)
            scope->Register("me", nullptr);
        else
            scope->Register("me", std::make_unique<CValueMacro>("replacement"));
        out->Append(m_text); // the object must still be alive here
    }

private:
    int* m_deaths;
    bool m_remove;
    std::string m_text;
};

TEST(MacroContextLifetime, MacroThatReplacesItselfSurvivesItsOwnCall)
{
    for (bool remove : {false, true}) {
        int deaths = 0;
        CMacroContext scope;
        scope.Register("me", std::make_unique<CSelfReplacingMacro>(&deaths, remove));
        EXPECT_EQ(ExpandExact(scope, "%me%|"), std::string(200, 's') + "|");
        EXPECT_EQ(deaths, 1) << "deleted once its call returned";
        EXPECT_EQ(ExpandExact(scope, "%me%"), remove ? "%me%" : "replacement");
    }
}

TEST(MacroContextLifetime, StringMacroThatResetsItselfKeepsReadingItsText)
{
    CMacroContext scope;
    RegisterTestMacros(scope);
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    // The text is long enough to live on the heap, so reading it after the
    // object was freed would be seen by the sanitizer.
    std::string tail(300, 't');
    scope.Register("m", std::make_unique<CStringMacro>("%set(m,other)" + tail + "%x%"));
    EXPECT_EQ(ExpandExact(scope, "%m%"), tail + "X");
    EXPECT_EQ(ExpandExact(scope, "%m%"), "other");
    // Removing itself works the same way.
    scope.Register("n", std::make_unique<CStringMacro>("%set(n)" + tail + "%x%"));
    EXPECT_EQ(ExpandExact(scope, "%n%%n%"), tail + "X%n%");
}

// Empties the whole scope its call came from while it runs.
class CClearingMacro : public CMacro {
public:
    explicit CClearingMacro(int* deaths) : m_deaths(deaths), m_text(std::string(100, 'c')) {}
    ~CClearingMacro() override { ++*m_deaths; }
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char**, int) override
    {
        scope->GetMacros().DeleteAll();
        out->Append(m_text);
    }

private:
    int* m_deaths;
    std::string m_text;
};

TEST(MacroContextLifetime, MacroThatEmptiesItsScopeSurvives)
{
    int deaths = 0;
    CMacroContext scope;
    scope.Register("clear", std::make_unique<CClearingMacro>(&deaths));
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    EXPECT_EQ(ExpandExact(scope, "%clear%%x%"), std::string(100, 'c') + "%x%");
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(scope.GetMacros().GetCount(), 0);
}

TEST(MacroContextLifetime, DestroyingAScopeDeletesItsMacrosNotTheParent)
{
    int deaths = 0;
    CMacroContext parent;
    parent.Register("p", std::make_unique<CCountedMacro>(&deaths, "p"));
    {
        CMacroContext nested(&parent);
        nested.Register("a", std::make_unique<CCountedMacro>(&deaths, "a"));
        nested.Register("b", std::make_unique<CCountedMacro>(&deaths, "b"));
        EXPECT_EQ(ExpandExact(nested, "%a%%p%"), "ap");
    }
    EXPECT_EQ(deaths, 2);
    EXPECT_EQ(Call(parent, "p"), "found:p");
}

TEST(MacroContextNested, ExpandNestedSeesItsConstantsOnlyDuringTheCall)
{
    CMacroContext scope;
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    std::string user = "alice";
    CMacroScope::Constant constants[] = {{"user", user.c_str()}, {"x", "shadow"}};
    CTextBuffer out;
    CMacroScope& asScope = scope;
    asScope.ExpandNested(&out, "%user%/%x%", constants);
    EXPECT_EQ(out.ToString(), "alice/shadow");
    EXPECT_EQ(Call(scope, "user"), "none:");
    EXPECT_EQ(Call(scope, "x"), "found:X");
}

} // namespace
