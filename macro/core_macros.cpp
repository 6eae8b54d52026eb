#include "macro/core_macros.h"

#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "macro/expander.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"

#include <climits>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

int ReadMacroNumber(const char* text)
{
    if (!text)
        return 0;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\v' || *text == '\f' || *text == '\r')
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    constexpr long long kMagnitudeLimit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > kMagnitudeLimit)
            magnitude = kMagnitudeLimit; // saturate; the rest of the digits change nothing
    }
    long long value = negative ? -magnitude : magnitude;
    if (value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(value);
}

namespace {

void StoreValue(CMacroContext& target, std::string_view name, const char* value)
{
    if (value)
        target.Register(name, std::make_unique<CValueMacro>(value));
    else
        target.Register(name, nullptr);
}

} // namespace

void CSetMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (!argv || argc < 1)
        return;
    CMacroContext* target = m_bound ? m_bound : scope;
    if (target->IsReadOnly()) {
        MacroError(out, scope, "set (core)", kReadOnlyScopeError, "Macro cannot be created in read-only context.", 0);
        return;
    }
    StoreValue(*target, LowerCaseString(argv[0]), argc >= 2 ? argv[1] : nullptr);
}

void CLetMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (!argv || argc < 1)
        return;
    std::string name = LowerCaseString(argv[0]);
    // Follow the ':' prefix as a lookup does, so that the value is stored
    // under the key the lookup resolves to; stored under the name with its
    // colons, it would sit beside the macro it was meant to change, out of
    // reach of every reference to that macro.
    std::string_view key = name;
    CMacroContext* start = scope;
    while (!key.empty() && key.front() == ':' && start->GetParent()) {
        key.remove_prefix(1);
        start = start->GetParent();
    }
    CMacroContext* holder = nullptr;
    start->FindMacro(key, &holder);
    CMacroContext* target = holder ? holder : start;
    if (target->IsReadOnly()) {
        MacroError(out, scope, "let", kReadOnlyScopeError, "Macro cannot be created or modified in read-only context.", 0);
        return;
    }
    StoreValue(*target, key, argc >= 2 ? argv[1] : nullptr);
}

void CDefineMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (!argv || argc < 1)
        return;
    CMacroContext* target = m_bound ? m_bound : scope;
    if (target->IsReadOnly()) {
        MacroError(out, scope, "define (core)", kReadOnlyScopeError, "Macro cannot be defined in read-only context.", 0);
        return;
    }
    std::string name = LowerCaseString(argv[0]);
    if (argc < 2) {
        target->Register(name, nullptr);
        return;
    }
    std::vector<std::string> parameters;
    parameters.reserve(static_cast<std::size_t>(argc - 2));
    for (int i = 2; i < argc; ++i)
        parameters.push_back(LowerCaseString(argv[i]));
    target->Register(name, std::make_unique<CUserMacro>(argv[1], std::move(parameters), IsRawArgument(argv[1])));
}

void CDefinedMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (!argv || argc < 1)
        return;
    if (scope->FindMacro(std::string_view(LowerCaseString(argv[0]))))
        out->AppendChar('T');
}

void CExpandMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (!argv)
        return;
    for (int i = 0; i < argc; ++i)
        scope->Expand(out, argv[i], static_cast<int>(std::strlen(argv[i])));
}

void CSetGrowMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (!argv || argc < 1)
        return;
    int step = ReadMacroNumber(argv[0]);
    if (step < 0)
        step = 0;
    else if (step > kMaxOutputGrowStep)
        step = kMaxOutputGrowStep;
    if (out->GetGrowStep() == step)
        return;
    // FIXME: CTextBuffer has no grow-step setter, so the text moves into a
    // buffer built with the new step; a setter would spare the copy.
    CTextBuffer rebuilt(out->GetCapacity(), step);
    rebuilt.Append(out->GetData(), out->GetLength());
    *out = std::move(rebuilt);
}

void CInvokeMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (!argv || argc < 1)
        return;
    scope->CallMacro(out, std::string_view(LowerCaseString(argv[0])), argv + 1, argc - 1, scope);
}

CUserMacro::CUserMacro(std::string body, std::vector<std::string> parameters, bool expandBody)
    : m_body(std::move(body)), m_parameters(std::move(parameters)), m_expandBody(expandBody)
{
}

void CUserMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    // A companion call passes no argument array at all.
    const char* noArguments[1] = {nullptr};
    if (!argv) {
        argv = noArguments;
        argc = 0;
    }
    CMacroContext nested(scope);
    nested.Register("arg", std::make_unique<CArgMacro>(argv, argc));
    // Registered in order, so a parameter named arg replaces arg, and a
    // later parameter of the same name wins.
    for (std::size_t i = 0; i < m_parameters.size(); ++i) {
        const char* value = static_cast<int>(i) < argc ? argv[i] : "";
        nested.Register(m_parameters[i], std::make_unique<CConstantMacro>(value));
    }
    nested.Register("num-args", std::make_unique<CIntRefMacro>(&argc));
    if (m_expandBody)
        nested.Expand(out, m_body);
    else
        out->Append(m_body.data(), static_cast<int>(m_body.size()));
}

void CArgMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (!argv || argc < 1 || !m_argv)
        return;
    int index = ReadMacroNumber(argv[0]);
    if (index < 0 || index >= m_argc || !m_argv[index])
        return;
    scope->ExpandArgument(out, m_argv[index]);
}

void RegisterCoreMacros(CMacroContext& global)
{
    global.Register("set", std::make_unique<CSetMacro>());
    global.Register("let", std::make_unique<CLetMacro>());
    global.Register("macro", std::make_unique<CDefineMacro>());
    global.Register("define", std::make_unique<CDefineMacro>());
    global.Register("expand", std::make_unique<CExpandMacro>());
    global.Register("defined", std::make_unique<CDefinedMacro>());
    global.Register("setgrow", std::make_unique<CSetGrowMacro>());
    global.Register("invoke", std::make_unique<CInvokeMacro>());
}

void RegisterGlobalMacros(CMacroContext& requestScope)
{
    requestScope.Register("gset", std::make_unique<CSetMacro>(&requestScope));
    requestScope.Register("gmacro", std::make_unique<CDefineMacro>(&requestScope));
    requestScope.Register("gdefine", std::make_unique<CDefineMacro>(&requestScope));
}
