#pragma once
// Test-local macros that stand in for the core built-ins, so that test
// tables read like macro pages: set, null, a string-defining sdef, and show,
// which prints exactly what it was called with.

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace macro_test {

inline std::string Lower(std::string_view text)
{
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

// set(name, [value]): stores value as a value macro in the calling scope;
// without a value removes the name.
class CTestSetMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer*, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::string name = Lower(argv[0]);
        if (argc < 2)
            scope->Register(name, nullptr);
        else
            scope->Register(name, std::make_unique<CValueMacro>(argv[1]));
    }
};

// sdef(name, text): stores text as a string macro, expanded on each use.
class CTestStringDefineMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer*, const char** argv, int argc) override
    {
        if (argc >= 2)
            scope->Register(Lower(argv[0]), std::make_unique<CStringMacro>(argv[1]));
    }
};

class CTestNullMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override {}
};

// show(...): "argc:" then every argument in brackets; checks the argv contract.
class CTestShowMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        std::string text = std::to_string(argc) + ":";
        for (int i = 0; i < argc; ++i)
            text += "[" + std::string(argv[i]) + "]";
        if (argv == nullptr || argv[argc] != nullptr)
            text += "<argv not terminated>";
        out->Append(text);
    }
};

inline void RegisterTestMacros(CMacroContext& scope)
{
    scope.Register("set", std::make_unique<CTestSetMacro>());
    scope.Register("sdef", std::make_unique<CTestStringDefineMacro>());
    scope.Register("null", std::make_unique<CTestNullMacro>());
    scope.Register("show", std::make_unique<CTestShowMacro>());
}

// Expands text from an exact-size heap copy with no NUL after it, so the
// sanitizer build catches any read past the given length.
inline std::string ExpandExact(CMacroContext& scope, std::string_view text)
{
    std::unique_ptr<char[]> copy(new char[text.size() ? text.size() : 1]);
    std::memcpy(copy.get(), text.data(), text.size());
    CTextBuffer out;
    scope.Expand(&out, copy.get(), static_cast<int>(text.size()));
    return out.ToString();
}

} // namespace macro_test
