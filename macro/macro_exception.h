#pragma once
// The exceptions that cross a macro expansion, the one routine through which
// macros report their failures, and the try and throw macros.
//
// CMacroException is a failure inside an expansion: a try macro turns it
// into its handler text, an uncaught one into the error page of the document
// being expanded. CHTTPException and CRedirectionException end the request
// (with a status page or a redirection); try lets them pass, so they are
// known down here although the HTTP server throws and answers them.

#include "macro/macro.h"

#include <exception>
#include <string>

class CMacroContext;
class CTextBuffer;

class CMacroException : public std::exception {
public:
    CMacroException(std::string type, unsigned number, std::string message);

    const char* what() const noexcept override;

    std::string type;    // what failed, usually the macro's name
    unsigned number;     // an error code, 0, or the number a page gave (shown signed by try)
    std::string message; // the text shown to the page
};

class CHTTPException : public std::exception {
public:
    CHTTPException(int status, std::string body, std::string extraHeaders = {});

    const char* what() const noexcept override;

    int status;               // the HTTP status code of the reply
    std::string body;         // the expanded page to send
    std::string extraHeaders; // header lines, each ending in CR LF; empty for none
};

class CRedirectionException : public std::exception {
public:
    explicit CRedirectionException(std::string url);

    const char* what() const noexcept override;

    std::string url; // where the request is sent instead
};

// The marker that try registers in its nested scope: while it is visible
// from a scope, errors reported there are thrown instead of shown.
inline constexpr const char* kInTryName = "in-try";

// Reports a macro's failure. When in-try is visible from scope, throws
// CMacroException{type, number, message}; otherwise, when emit is non-zero,
// appends "[<type> error <number>: <message>]" to out; else does nothing.
// Null texts count as empty.
void MacroError(CTextBuffer* out, CMacroContext* scope, const char* type, unsigned number, const char* message, int emit);

// try(body, [handler]): expands body in a nested scope that holds in-try.
// On a CMacroException the body's output is dropped and the handler, when
// given, is expanded with exception-number, exception-type and
// exception-msg defined. Request-ending exceptions and the expander's
// nesting-limit error pass through with the partial output left in place;
// any other exception is handled as an "Unknown" one.
class CTryMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// throw(type, [number], [message]): raises CMacroException; nothing without a type.
class CThrowMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// The number of a CMacroException raised by throw without a number: the
// same 0 that an argument without digits gives.
inline constexpr unsigned kThrowDefaultNumber = 0;

// Registers try, its companion "'try" (both arguments raw) and throw in
// scope, replacing macros of those names; nothing in a read-only scope.
void RegisterTryMacros(CMacroContext& scope);
