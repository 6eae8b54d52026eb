#include "macro/macro_exception.h"

#include "framework/memory.h"
#include "framework/text_buffer.h"
#include "macro/core_macros.h"
#include "macro/expander.h"
#include "macro/macro_context.h"

#include <cxxabi.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

CMacroException::CMacroException(std::string type, unsigned number, std::string message)
    : type(std::move(type)), number(number), message(std::move(message))
{
}

const char* CMacroException::what() const noexcept
{
    return message.c_str();
}

CHTTPException::CHTTPException(int status, std::string body, std::string extraHeaders)
    : status(status), body(std::move(body)), extraHeaders(std::move(extraHeaders))
{
}

const char* CHTTPException::what() const noexcept
{
    return "HTTP request ended with a status reply";
}

CRedirectionException::CRedirectionException(std::string url) : url(std::move(url))
{
}

const char* CRedirectionException::what() const noexcept
{
    return url.c_str();
}

void MacroError(CTextBuffer* out, CMacroContext* scope, const char* type, unsigned number, const char* message, int emit)
{
    type = type ? type : "";
    message = message ? message : "";
    if (scope && scope->FindMacro(kInTryName))
        throw CMacroException(type, number, message);
    if (!emit || !out)
        return;
    // Built piece by piece: the type and message are any length.
    std::string text = "[";
    text += type;
    text += " error ";
    text += std::to_string(number);
    text += ": ";
    text += message;
    text += "]";
    out->Append(text);
}

namespace {

constexpr const char* kUnknownType = "Unknown";
constexpr const char* kUnknownMessage = "An unknown exception has occurred.";
constexpr const char* kUnknownNumber = "-1";

// Past the nesting limit every further level fails at once. A handler that
// recursed again would be run once per level on the way out, each run
// recursing to the limit anew, which takes time exponential in the limit;
// so the limit ends the whole expansion instead of one try.
bool IsNestingLimit(const CMacroException& e)
{
    return e.number == kExpandErrorNumber && e.type == kExpandErrorType;
}

void CutBack(CTextBuffer* out, int length)
{
    if (length < out->GetLength())
        out->SetLength(length);
}

void ExpandHandler(CMacroContext& nested, CTextBuffer* out, const char* handler, std::unique_ptr<CMacro> number,
                   std::unique_ptr<CMacro> type, std::unique_ptr<CMacro> message)
{
    nested.Register("exception-number", std::move(number));
    nested.Register("exception-type", std::move(type));
    nested.Register("exception-msg", std::move(message));
    nested.ExpandArgument(out, handler);
}

// Kept out of Evaluate so that the body's expansion, which is one nesting
// level of every recursive page, carries no handler locals in its frame.
[[gnu::noinline]] void HandleMacroException(CMacroContext& nested, CTextBuffer* out, const char* handler,
                                            const CMacroException& e)
{
    if (!handler)
        return;
    ExpandHandler(nested, out, handler, std::make_unique<CValueMacro>(std::to_string(static_cast<int>(e.number))),
                  std::make_unique<CValueMacro>(e.type), std::make_unique<CValueMacro>(e.message));
}

[[gnu::noinline]] void HandleUnknownException(CMacroContext& nested, CTextBuffer* out, const char* handler)
{
    if (!handler)
        return;
    ExpandHandler(nested, out, handler, std::make_unique<CValueMacro>(kUnknownNumber),
                  std::make_unique<CConstantMacro>(kUnknownType), std::make_unique<CConstantMacro>(kUnknownMessage));
}

} // namespace

void CTryMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (!argv || argc < 1)
        return;
    const char* body = argv[0];
    const char* handler = argc >= 2 ? argv[1] : nullptr;

    CMacroContext nested(scope);
    nested.Register(kInTryName, std::make_unique<CConstantMacro>("T"));
    int mark = out->GetLength();
    try {
        nested.ExpandArgument(out, body);
    } catch (const CMacroException& e) {
        if (IsNestingLimit(e))
            throw;
        CutBack(out, mark);
        HandleMacroException(nested, out, handler, e);
    } catch (const CHTTPException&) {
        throw;
    } catch (const CMemoryLimitException&) {
        throw; // ends the whole expansion, as the nesting limit does
    } catch (const CRedirectionException&) {
        throw;
    } catch (const abi::__forced_unwind&) {
        throw; // a cancelled thread must finish unwinding
    } catch (...) {
        CutBack(out, mark);
        HandleUnknownException(nested, out, handler);
    }
}

void CThrowMacro::Evaluate(CMacroContext*, CTextBuffer*, const char** argv, int argc)
{
    if (!argv || argc < 1)
        return;
    unsigned number = argc >= 2 ? static_cast<unsigned>(ReadMacroNumber(argv[1])) : kThrowDefaultNumber;
    throw CMacroException(argv[0], number, argc >= 3 ? argv[2] : "");
}

void RegisterTryMacros(CMacroContext& scope)
{
    scope.Register("try", std::make_unique<CTryMacro>());
    scope.Register("'try", std::make_unique<CConstantMacro>("''"));
    scope.Register("throw", std::make_unique<CThrowMacro>());
}
