#pragma once
// File descriptions: the one-line texts a directory index shows beside each
// file. They are kept in a profile file "Desc.inf" in the file's directory,
// section "Description", keyed by the file name; an HTML document without
// an entry is described by its title.

#include "macro/macro.h"

#include <cstddef>
#include <string>
#include <string_view>

class CMacroContext;
class CTextBuffer;

inline constexpr const char* kDescriptionFileName = "Desc.inf";
inline constexpr const char* kDescriptionSection = "Description";
// Only the head of a document is searched for its title: an index lists
// many files and must not read each of them whole.
inline constexpr std::size_t kTitleSearchBytes = 4000;
// getdescription reads into a buffer of this size, terminator included.
inline constexpr std::size_t kDescriptionBufferSize = 256;

// The description of the file at path, at most size - 1 characters; empty
// when there is none, when size is 0 or the path is empty.
std::string ReadFileDescription(std::string_view path, std::size_t size);

// Stores text as the description of the file at path, creating Desc.inf
// when needed. False when the path is empty or names no file in a
// directory (it ends in a separator), or the file cannot be written.
bool WriteFileDescription(std::string_view path, std::string_view text);

// getdescription (path)
class CGetDescriptionMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// setdescription (path, text); outputs nothing and reports nothing.
class CSetDescriptionMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// Registers getdescription and setdescription in global, replacing macros
// of the same names; nothing in a read-only scope.
void RegisterDescriptionMacros(CMacroContext& global);
