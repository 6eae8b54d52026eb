#pragma once
// How the configuration store expands macro texts (the Authenticate and member
// macros of users and groups) without depending on the macro language's
// library, which sits above it: the language's scope class implements this.

#include <span>
#include <string_view>

class CTextBuffer;

class CMacroScope {
public:
    struct Constant {
        const char* name;  // lower case
        const char* value; // not copied; must outlive the call
    };

    virtual ~CMacroScope() = default;

    // Expands text into out inside a new nested scope whose parent is this
    // scope and which holds the given constant macros. Macro errors pass out
    // as exceptions, with the nested scope already gone.
    virtual void ExpandNested(CTextBuffer* out, std::string_view text, std::span<const Constant> constants) = 0;
};
