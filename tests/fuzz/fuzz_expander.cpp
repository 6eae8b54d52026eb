// Expands arbitrary bytes against a scope chain holding each kind of macro
// the expander meets: a value, string macros (one referring to itself), a
// set and a string-defining macro that let the input build its own macros,
// and quote companions. Sanitizer reports, leaks and the checks below are
// the findings; the nesting limit's exception is an expected outcome.

#include "framework/text_buffer.h"
#include "macro/expander.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Work bounds of one input: the input can write macros whose expansion
// doubles at every step, which is slow, not wrong.
constexpr int kMaxCalls = 10000;
constexpr int kMaxOutput = 1 << 20;
constexpr std::size_t kMaxStoredText = 16 * 1024;

int g_calls = 0;

void Spend(const CTextBuffer* out)
{
    if (++g_calls > kMaxCalls || out->GetLength() > kMaxOutput)
        throw CMacroException("budget", 0, "fuzz input too expensive");
}

std::string Lower(const char* text)
{
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

void CheckArguments(const char** argv, int argc)
{
    if (argc < 0 || (argc > 0 && !argv) || (argv && argv[argc] != nullptr))
        __builtin_trap();
    for (int i = 0; i < argc; ++i)
        (void)std::strlen(argv[i]); // every argument is a readable NUL-terminated text
}

class CFuzzValue : public CValueMacro {
public:
    using CValueMacro::CValueMacro;
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        Spend(out);
        CValueMacro::Evaluate(scope, out, argv, argc);
    }
};

class CFuzzString : public CStringMacro {
public:
    using CStringMacro::CStringMacro;
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        Spend(out);
        CStringMacro::Evaluate(scope, out, argv, argc);
    }
};

// set(name, [value]) and sdef(name, text): store into the calling scope.
class CFuzzStore : public CMacro {
public:
    explicit CFuzzStore(bool asString) : m_asString(asString) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        Spend(out);
        CheckArguments(argv, argc);
        if (argc < 1)
            return;
        std::string name = Lower(argv[0]);
        if (argc < 2) {
            scope->Register(name, nullptr);
            return;
        }
        if (std::strlen(argv[1]) > kMaxStoredText)
            throw CMacroException("budget", 0, "stored text too long");
        if (m_asString)
            scope->Register(name, std::make_unique<CFuzzString>(argv[1]));
        else
            scope->Register(name, std::make_unique<CFuzzValue>(argv[1]));
    }

private:
    bool m_asString;
};

// show(...): writes its argument count and arguments.
class CFuzzShow : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        Spend(out);
        CheckArguments(argv, argc);
        out->Append(std::to_string(argc));
        for (int i = 0; i < argc; ++i) {
            out->AppendChar('[');
            out->Append(argv[i], static_cast<int>(std::strlen(argv[i])));
            out->AppendChar(']');
        }
    }
};

void Fill(CMacroContext& global, CMacroContext& request)
{
    global.Register("name", std::make_unique<CFuzzValue>("World"));
    global.Register("page", std::make_unique<CFuzzString>("<%name%|%:name%>"));
    global.Register("self", std::make_unique<CFuzzString>("x%self%"));
    global.Register("set", std::make_unique<CFuzzStore>(false));
    global.Register("sdef", std::make_unique<CFuzzStore>(true));
    global.Register("show", std::make_unique<CFuzzShow>());
    global.Register("raw", std::make_unique<CFuzzShow>());
    global.Register("'raw", std::make_unique<CConstantMacro>("''"));
    global.Register("dir", std::make_unique<CFuzzShow>());
    global.Register("'dir", std::make_unique<CConstantMacro>(" ' "));
    global.SetReadOnly(true);
    request.GetMacros().InitHashTable(511);
    request.Register("name", std::make_unique<CFuzzValue>("Request"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 1 << 16)
        return 0;
    CMacroContext global;
    CMacroContext request(&global);
    Fill(global, request);
    // An exact-size copy without a NUL, so a read past the length is seen.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    if (size)
        std::memcpy(text.get(), data, size);

    g_calls = 0;
    CTextBuffer out;
    bool finished = false;
    try {
        request.Expand(&out, text.get(), static_cast<int>(size));
        finished = true;
    } catch (const CMacroException&) {
    }
    if (GetExpandDepth() != 0)
        __builtin_trap();
    // Text without a '%' is copied as it is.
    if (finished && !std::memchr(data, '%', size) &&
        (static_cast<std::size_t>(out.GetLength()) != size || (size && std::memcmp(out.GetData(), data, size) != 0)))
        __builtin_trap();
    return 0;
}
