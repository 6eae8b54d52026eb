#pragma once
// The core built-ins, by which a macro text defines, changes, tests and
// removes macros, defines user macros with parameters, re-expands text and
// calls a macro by a computed name; and the user macro itself.
//
// Every macro here takes the lower-cased first argument as a name and does
// nothing without arguments. set and define write into their bound scope
// (gset, gmacro, gdefine: the request's) or else into the caller's scope;
// writes refused by a read-only scope are reported through MacroError,
// silently unless a try is active.

#include "macro/macro.h"

#include <string>
#include <vector>

class CMacroContext;
class CTextBuffer;

// A number read from macro text as atoi reads it: leading blanks, an
// optional sign, decimal digits; 0 without digits. Out-of-range values
// saturate at the int limits rather than wrapping.
int ReadMacroNumber(const char* text);

// The error number of a write refused by a read-only scope (the system's
// "access denied"): a refusal sets no other code.
inline constexpr unsigned kReadOnlyScopeError = 5;

// The largest output growth step setgrow sets: a bigger step would only
// make every growth of a page's output reserve memory the page never fills.
inline constexpr int kMaxOutputGrowStep = 1 << 20;

// set(name, [value]): stores value as a value macro; without one removes name.
class CSetMacro : public CMacro {
public:
    explicit CSetMacro(CMacroContext* bound = nullptr) : m_bound(bound) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    CMacroContext* m_bound; // the scope written to; null: the caller's
};

// let(name, [value]): as set, in the scope that already holds name (found
// from the caller's scope, ':' prefixes honoured); a new name goes where the
// search started.
class CLetMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// macro/define(name, [body, parameter names...]): stores a user macro;
// without a body removes name.
class CDefineMacro : public CMacro {
public:
    explicit CDefineMacro(CMacroContext* bound = nullptr) : m_bound(bound) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    CMacroContext* m_bound; // the scope written to; null: the caller's
};

// defined(name): "T" when name is visible from the caller's scope.
class CDefinedMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// expand(text...): every argument expanded again, in order.
class CExpandMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// setgrow(n): sets the output's growth step to n, 0 when n is negative and
// at most kMaxOutputGrowStep.
class CSetGrowMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// invoke(name, args...): calls the named macro with the remaining arguments.
class CInvokeMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// A macro defined by a page. A call expands the body in a nested scope of
// its own, whose parent is the caller's scope, holding arg, num-args and a
// constant per parameter; everything the body registers there dies with the
// call.
class CUserMacro : public CMacro {
public:
    // A body that was not passed raw was expanded when it was defined and
    // is not run again (expandBody false): it may hold what a client sent.
    CUserMacro(std::string body, std::vector<std::string> parameters, bool expandBody = true);
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

    const std::string& GetBody() const { return m_body; }
    const std::vector<std::string>& GetParameters() const { return m_parameters; }

private:
    std::string m_body;
    std::vector<std::string> m_parameters; // lower case
    bool m_expandBody;
};

// arg(n) inside a user-macro call: the call's n-th argument (from 0),
// expanded again when it was passed raw, else as passed; nothing out of range. The arguments must outlive it,
// which the call's nested scope guarantees.
class CArgMacro : public CMacro {
public:
    CArgMacro(const char** argv, int argc) : m_argv(argv), m_argc(argc) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const char** m_argv;
    int m_argc;
};

// Registers set, let, macro, define, expand, defined, setgrow and invoke in
// scope, replacing macros of those names; nothing in a read-only scope.
void RegisterCoreMacros(CMacroContext& global);

// Registers gset, gmacro and gdefine in a request's scope, bound to it, so
// that a user-macro body can define names that outlive the call.
void RegisterGlobalMacros(CMacroContext& requestScope);
