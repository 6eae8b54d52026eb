#pragma once
// The file family: macros by which pages quote and append CSV, tab and text
// lines to files, insert a file, list a directory through a template, and
// delete, move, copy, rename, create and remove files and directories, set
// attributes and test existence.
//
// File names are used as the page gives them (relative names resolve from
// the process's working directory); no virtual path or access list applies.
// Failures are reported through MacroError with the macro's name, a Win32
// error number and display off, so they only show inside a try.

#include "macro/macro.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CMacroContext;
class CTextBuffer;

// The attribute bits the system shows. Read-only comes from the write bits
// and directory from the file type; the others are kept in an extended
// attribute (config/acl_file.h). A regular file never marked counts as
// archive, as a new file does.
inline constexpr unsigned kAttributeReadOnly = 0x1;
inline constexpr unsigned kAttributeHidden = 0x2;
inline constexpr unsigned kAttributeSystem = 0x4;
inline constexpr unsigned kAttributeDirectory = 0x10;
inline constexpr unsigned kAttributeArchive = 0x20;
inline constexpr unsigned kAttributeNormal = 0x80;
inline constexpr unsigned kAttributeTemporary = 0x100;
inline constexpr unsigned kAttributeCompressed = 0x800;

// A page's output is held in memory whole; include refuses a bigger file
// rather than let one page take the server's memory.
inline constexpr std::size_t kMaxIncludeBytes = 64 * 1024 * 1024;
// delete gives up after this many tries of a file that is busy.
inline constexpr int kDeleteTries = 20;
// An append waits at most this many times for another appender to finish:
// each line is written whole, but a holder that never lets go must not hold
// the page for ever.
inline constexpr int kAppendLockTries = 60;
// Wait between the tries of delete and of an append.
inline constexpr std::uint32_t kFileRetryWaitMs = 1000;

// Win32 numbers the family reports beside those mapped from the system.
inline constexpr unsigned kErrorSharingViolation = 32;
inline constexpr unsigned kErrorFileExists = 80;
inline constexpr unsigned kErrorAlreadyExists = 183;

// text unchanged when mode is 0 and it holds no ',' or '"'; otherwise
// wrapped in double quotes with inner ones doubled and CR and LF as spaces.
std::string CSVQuote(std::string_view text, int mode);

// Appends text to file, creating it when missing; 0 or the Win32 error.
unsigned AppendToFile(const std::string& file, std::string_view text);

// Reads up to maxBytes of a regular file into out. False for anything else
// (missing, a directory, a device, a FIFO, which would block) or when the
// file is larger than maxBytes and whole is set.
bool ReadFileHead(const std::string& path, std::size_t maxBytes, std::string& out, bool whole = false);

// The attribute bits of path (kAttribute*), following symbolic links; false
// when nothing of that name exists.
bool GetFileAttributeBits(const std::string& path, unsigned& bits);

// The text after the last '.' of the whole path; empty without one.
std::string_view FileExtension(std::string_view path);

// csv-quote, csv-quoteq (text)
class CCSVQuoteMacro : public CMacro {
public:
    explicit CCSVQuoteMacro(int mode) : m_mode(mode) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    int m_mode; // 1: always quote
};

// csv-append, csv-appendq (file, field...): one CSV line and CR LF.
class CCSVAppendMacro : public CMacro {
public:
    explicit CCSVAppendMacro(int mode) : m_mode(mode) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    int m_mode;
};

// tab-append (file, field...): fields joined with tabs (tabs inside become
// spaces) and CR LF.
class CTabAppendMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// text-append, create-file (file, text): the text as it is.
class CTextAppendMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// include (file): the file's bytes, unexpanded.
class CIncludeMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// dir (pattern, template, [options]): the template expanded once per
// matching entry, in name order without regard to case, with the entry
// macros (fname, pathname, isdir, fsize, fmtime...) defined.
class CDirMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// ext (path)
class CExtMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// delete (file)
class CDeleteMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// move (from, to): replaces an existing target; copies across file systems.
class CMoveMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// rename (from, to): never replaces.
class CRenameMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// copy (from, to, [overwrite]): replaces an existing target only with a
// third argument.
class CCopyMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// mkdir (path): creates every missing directory along the path.
class CMkdirMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// rmdir (path): removes an empty directory.
class CRmdirMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// attrib (file, flags): '+' and '-' switch between setting and clearing;
// A, H, R, S, T name bits, N replaces all with normal.
class CAttribMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// exists (file): the attribute bits in decimal; nothing when missing.
class CExistsMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// Registers the family in global, replacing macros of the same names;
// nothing in a read-only scope.
void RegisterFileMacros(CMacroContext& global);
