#include "macro/file_macros.h"

#include "config/access_list.h"
#include "config/acl_file.h"
#include "framework/handles.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/files.h"

// No platform facility covers the file operations, attributes and directory
// reads of this family yet, so the calls they take are made here.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

// The bits kept in the extended attribute; the others come from the file.
constexpr unsigned kStoredAttributes =
    kAttributeHidden | kAttributeSystem | kAttributeArchive | kAttributeTemporary | kAttributeCompressed;

// The Win32 number a page sees for an errno.
unsigned Win32ErrorFromErrno(int error)
{
    switch (error) {
    case 0: return 0;
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM:
    case EISDIR: return 5;
    case ENOMEM: return 8;
    case EXDEV: return 17;
    case EROFS: return 19;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK: return kErrorSharingViolation;
    case ENOTSUP: return 50;
    case EINVAL: return 87;
    case ENOSPC: return 112;
    case ENOTEMPTY: return 145;
    case EEXIST: return kErrorAlreadyExists;
    case ENAMETOOLONG: return 206;
    case EIO: return 1117;
    case ELOOP: return 1921;
    default: return 31;
    }
}

// Pages written for the original system separate with '\'.
std::string NativePath(std::string_view path)
{
    std::string result(path);
    for (char& c : result)
        if (c == '\\')
            c = '/';
    return result;
}

void Report(CTextBuffer* out, CMacroContext* scope, const char* type, unsigned number, const char* message)
{
    MacroError(out, scope, type, number, message, 0);
}

// The stored bits, or -1 when the file carries none.
long ReadStoredAttributes(const std::string& path)
{
    char text[16] = {};
    ssize_t got = ::getxattr(path.c_str(), kAttributesXattrName, text, sizeof text - 1);
    if (got <= 0)
        return -1;
    return static_cast<long>(std::strtoul(text, nullptr, 10) & kStoredAttributes);
}

unsigned AttributeBits(const std::string& path, mode_t mode)
{
    unsigned bits = 0;
    if (S_ISDIR(mode))
        bits |= kAttributeDirectory;
    if (!(mode & S_IWUSR))
        bits |= kAttributeReadOnly;
    long stored = ReadStoredAttributes(path);
    if (stored >= 0)
        bits |= static_cast<unsigned>(stored);
    else if (S_ISREG(mode))
        bits |= kAttributeArchive;
    return bits ? bits : kAttributeNormal;
}

// Writes bits (kAttributeNormal alone meaning none) over the current ones;
// 0 or the Win32 error.
unsigned SetAttributeBits(const std::string& path, const struct stat& status, unsigned current, unsigned bits)
{
    if (bits & kAttributeNormal)
        bits = 0;
    if ((bits & kAttributeReadOnly) != (current & kAttributeReadOnly)) {
        mode_t mode = status.st_mode & 07777;
        mode = (bits & kAttributeReadOnly) ? mode & ~(S_IWUSR | S_IWGRP | S_IWOTH) : mode | S_IWUSR;
        if (::chmod(path.c_str(), mode) != 0)
            return Win32ErrorFromErrno(errno);
    }
    unsigned stored = bits & kStoredAttributes;
    if (stored != (current & kStoredAttributes)) {
        std::string text = std::to_string(stored);
        if (::setxattr(path.c_str(), kAttributesXattrName, text.data(), text.size(), 0) != 0)
            return Win32ErrorFromErrno(errno);
    }
    return 0;
}

// Copies a regular file; 0 or the Win32 error.
unsigned CopyRegularFile(const std::string& from, const std::string& to, bool overwrite)
{
    std::error_code error;
    auto options = overwrite ? std::filesystem::copy_options::overwrite_existing : std::filesystem::copy_options::none;
    if (std::filesystem::copy_file(from, to, options, error))
        return 0;
    if (error.value() == EEXIST)
        return kErrorFileExists;
    return Win32ErrorFromErrno(error.value() ? error.value() : EIO);
}

bool IsRegularFile(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Moves a file that rename cannot move across file systems; 0 or the error.
unsigned MoveAcrossDevices(const std::string& from, const std::string& to, bool overwrite)
{
    if (!IsRegularFile(from))
        return Win32ErrorFromErrno(EXDEV);
    if (unsigned error = CopyRegularFile(from, to, overwrite))
        return error;
    if (::unlink(from.c_str()) != 0)
        return Win32ErrorFromErrno(errno);
    return 0;
}

std::string JoinLine(const char** fields, int count, char separator, int csvMode)
{
    std::string line;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            line += separator;
        if (csvMode >= 0) {
            line += CSVQuote(fields[i], csvMode);
        } else {
            std::string field(fields[i]);
            for (char& c : field)
                if (c == '\t')
                    c = ' ';
            line += field;
        }
    }
    if (!line.empty())
        line += "\r\n";
    return line;
}

// --- dir -----------------------------------------------------------------

struct DirEntry {
    std::string name;
    unsigned attributes = 0;
    std::uint64_t size = 0;
    std::int64_t created = 0;
    std::int64_t modified = 0;
    std::int64_t accessed = 0;
};

bool ReadEntry(const std::string& path, DirEntry& entry)
{
    struct statx status {};
    int flags = 0;
    if (::statx(AT_FDCWD, path.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) {
        // A dangling link is still an entry of the directory.
        flags = AT_SYMLINK_NOFOLLOW;
        if (::statx(AT_FDCWD, path.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &status) != 0)
            return false;
    }
    entry.attributes = AttributeBits(path, status.stx_mode);
    entry.size = status.stx_size;
    entry.modified = status.stx_mtime.tv_sec;
    entry.accessed = status.stx_atime.tv_sec;
    // Where the file system keeps no birth time, the last write is the
    // closest honest answer.
    entry.created = (status.stx_mask & STATX_BTIME) ? status.stx_btime.tv_sec : entry.modified;
    return true;
}

bool NameLess(const std::string& a, const std::string& b)
{
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        char x = platform::LowerAscii(a[i]);
        char y = platform::LowerAscii(b[i]);
        if (x != y)
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return a.size() < b.size();
}

// Deals the list alternately into two, sorts each, and merges them, taking
// from the first only when its name is strictly smaller; names that differ
// only in case therefore keep the order this produces on every listing.
void MergeSort(std::vector<DirEntry>& entries)
{
    if (entries.size() < 2)
        return;
    std::vector<DirEntry> first, second;
    for (std::size_t i = 0; i < entries.size(); ++i)
        (i % 2 == 0 ? first : second).push_back(std::move(entries[i]));
    MergeSort(first);
    MergeSort(second);
    entries.clear();
    std::size_t a = 0, b = 0;
    while (a < first.size() && b < second.size()) {
        if (NameLess(first[a].name, second[b].name))
            entries.push_back(std::move(first[a++]));
        else
            entries.push_back(std::move(second[b++]));
    }
    for (; a < first.size(); ++a)
        entries.push_back(std::move(first[a]));
    for (; b < second.size(); ++b)
        entries.push_back(std::move(second[b]));
}

unsigned ExclusionMask(const char* options, bool& showACLFiles)
{
    showACLFiles = false;
    if (!options)
        return kAttributeDirectory;
    unsigned mask = 0;
    for (const char* c = options; *c; ++c) {
        switch (platform::LowerAscii(*c)) {
        case 'c': mask |= kAttributeCompressed; break;
        case 'd': mask |= kAttributeDirectory; break;
        case 'h': mask |= kAttributeHidden; break;
        case 's': mask |= kAttributeSystem; break;
        case 't': mask |= kAttributeTemporary; break;
        case '~': showACLFiles = true; break;
        default: break;
        }
    }
    return mask;
}

void DefineEntryMacros(CMacroContext& nested, const std::string& directory, const DirEntry& entry)
{
    auto flag = [&](const char* name, unsigned bit) {
        nested.Register(name, std::make_unique<CValueMacro>((entry.attributes & bit) ? "T" : ""));
    };
    nested.Register("directory", std::make_unique<CValueMacro>(directory));
    flag("isdir", kAttributeDirectory);
    flag("issystem", kAttributeSystem);
    flag("ishidden", kAttributeHidden);
    flag("istemp", kAttributeTemporary);
    // Linux file systems keep no short alternate names.
    nested.Register("altfname", std::make_unique<CValueMacro>(""));
    nested.Register("fname", std::make_unique<CValueMacro>(entry.name));
    nested.Register("fsize", std::make_unique<CValueMacro>(std::to_string(entry.size)));
    nested.Register("fattrs", std::make_unique<CValueMacro>(std::to_string(entry.attributes)));
    nested.Register("fctime", std::make_unique<CValueMacro>(std::to_string(entry.created)));
    nested.Register("fmtime", std::make_unique<CValueMacro>(std::to_string(entry.modified)));
    nested.Register("fatime", std::make_unique<CValueMacro>(std::to_string(entry.accessed)));
    nested.Register("pathname", std::make_unique<CValueMacro>(directory + entry.name));
}

} // namespace

// --- shared routines -----------------------------------------------------

std::string CSVQuote(std::string_view text, int mode)
{
    if (mode == 0 && text.find_first_of(",\"") == std::string_view::npos)
        return std::string(text);
    std::string result = "\"";
    for (char c : text) {
        if (c == '"')
            result += "\"\"";
        else if (c == '\r' || c == '\n')
            result += ' ';
        else
            result += c;
    }
    result += '"';
    return result;
}

unsigned AppendToFile(const std::string& file, std::string_view text)
{
    std::string path = NativePath(file);
    // Non-blocking only so that a FIFO without a reader fails instead of
    // holding the page; regular files ignore the flag.
    int fd = platform::OpenFile(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK, 0644);
    if (fd < 0)
        return Win32ErrorFromErrno(errno);
    CFileHandleHolder holder(fd);
    // Appenders take the file exclusively, so each line lands whole.
    for (int tries = 1;; ++tries) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            break;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return Win32ErrorFromErrno(errno);
        if (tries >= kAppendLockTries)
            return kErrorSharingViolation;
        platform::SleepMs(kFileRetryWaitMs);
    }
    if (!platform::WriteAll(fd, text.data(), text.size()))
        return Win32ErrorFromErrno(errno ? errno : EIO);
    return 0;
}

bool ReadFileHead(const std::string& path, std::size_t maxBytes, std::string& out, bool whole)
{
    out.clear();
    int fd = platform::OpenFile(NativePath(path).c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    CFileHandleHolder holder(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    std::size_t size = static_cast<std::size_t>(status.st_size);
    if (whole && size > maxBytes)
        return false;
    // Never more than the size at open: a file that grows while it is read
    // cannot make the read endless.
    std::size_t want = size < maxBytes ? size : maxBytes;
    out.resize(want);
    std::size_t done = 0;
    while (done < want) {
        ssize_t got = ::read(fd, out.data() + done, want - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            out.clear();
            return false;
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return true;
}

bool GetFileAttributeBits(const std::string& file, unsigned& bits)
{
    std::string path = NativePath(file);
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return false;
    bits = AttributeBits(path, status.st_mode);
    return true;
}

std::string_view FileExtension(std::string_view path)
{
    std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos)
        return {};
    return path.substr(dot + 1);
}

// --- the macros ----------------------------------------------------------

void CCSVQuoteMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc >= 1)
        out->Append(CSVQuote(argv[0], m_mode));
}

void CCSVAppendMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    if (unsigned error = AppendToFile(argv[0], JoinLine(argv + 1, argc - 1, ',', m_mode)))
        Report(out, scope, "csv-append", error, "Error appending to file");
}

void CTabAppendMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    if (unsigned error = AppendToFile(argv[0], JoinLine(argv + 1, argc - 1, '\t', -1)))
        Report(out, scope, "tab-append", error, "Error appending to file");
}

void CTextAppendMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    if (unsigned error = AppendToFile(argv[0], argv[1]))
        Report(out, scope, "text-append", error, "Error appending to file");
}

void CIncludeMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    std::string bytes;
    if (ReadFileHead(argv[0], kMaxIncludeBytes, bytes, true))
        out->Append(bytes);
}

void CDirMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    bool showACLFiles = false;
    unsigned excluded = ExclusionMask(argc >= 3 ? argv[2] : nullptr, showACLFiles);

    std::string_view pattern(argv[0]);
    std::size_t separator = pattern.find_last_of("/\\");
    // Without a separator the entries are in the working directory and
    // their path names are the bare names.
    std::string directory = separator == std::string_view::npos ? std::string() : std::string(pattern.substr(0, separator + 1));
    std::string namePattern(separator == std::string_view::npos ? pattern : pattern.substr(separator + 1));
    if (namePattern.empty())
        return;
    if (namePattern == "*.*")
        namePattern = "*"; // matches names without a dot too, as pages expect
    std::string native = directory.empty() ? std::string("./") : NativePath(directory);

    std::vector<DirEntry> entries;
    {
        CFindHandle find(::opendir(native.c_str()));
        if (!find.IsValid())
            return;
        while (dirent* item = ::readdir(find.Get())) {
            DirEntry entry;
            entry.name = item->d_name;
            if (!WildcardMatch(entry.name, namePattern))
                continue;
            if (!ReadEntry(native + entry.name, entry))
                continue;
            if (entry.attributes & excluded)
                continue;
            if (!showACLFiles && IsACLFileName(entry.name))
                continue;
            // An upload not yet in place is nobody's document.
            if (platform::IsReplacementName(entry.name))
                continue;
            entries.push_back(std::move(entry));
        }
    }
    MergeSort(entries);

    std::string_view body(argv[1]);
    for (const DirEntry& entry : entries) {
        CMacroContext nested(scope);
        DefineEntryMacros(nested, directory, entry);
        nested.ExpandArgument(out, body);
    }
}

void CExtMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc >= 1)
        out->Append(FileExtension(argv[0]));
}

void CDeleteMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    std::string path = NativePath(argv[0]);
    for (int tries = 1;; ++tries) {
        if (::unlink(path.c_str()) == 0)
            return;
        int error = errno;
        bool busy = error == EBUSY || error == ETXTBSY;
        if (!busy || tries >= kDeleteTries) {
            Report(out, scope, "delete", Win32ErrorFromErrno(error), "Cannot delete file");
            return;
        }
        platform::SleepMs(kFileRetryWaitMs);
    }
}

void CMoveMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    std::string from = NativePath(argv[0]);
    std::string to = NativePath(argv[1]);
    unsigned error = 0;
    if (::rename(from.c_str(), to.c_str()) != 0)
        error = errno == EXDEV ? MoveAcrossDevices(from, to, true) : Win32ErrorFromErrno(errno);
    if (error)
        Report(out, scope, "move", error, "Error moving file");
}

void CRenameMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    std::string from = NativePath(argv[0]);
    std::string to = NativePath(argv[1]);
    unsigned error = 0;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without the no-replace flag: test, then rename.
            struct stat status {};
            if (::lstat(to.c_str(), &status) == 0)
                error = kErrorAlreadyExists;
            else if (::rename(from.c_str(), to.c_str()) != 0)
                error = errno == EXDEV ? MoveAcrossDevices(from, to, false) : Win32ErrorFromErrno(errno);
        } else {
            error = errno == EXDEV ? MoveAcrossDevices(from, to, false) : Win32ErrorFromErrno(errno);
        }
    }
    if (error)
        Report(out, scope, "rename", error, "Error renaming file");
}

void CCopyMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    std::string from = NativePath(argv[0]);
    unsigned error = IsRegularFile(from) ? CopyRegularFile(from, NativePath(argv[1]), argc >= 3)
                                         : Win32ErrorFromErrno(::access(from.c_str(), F_OK) == 0 ? EACCES : ENOENT);
    if (error)
        Report(out, scope, "copy", error, "Error copying file");
}

void CMkdirMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    std::string path = NativePath(argv[0]);
    // Each prefix that ends before a separator, then the whole path. A
    // leading separator is the root, which exists; doubled separators add
    // nothing new.
    for (std::size_t end = 0; end <= path.size(); ++end) {
        if (end < path.size() && path[end] != '/')
            continue;
        if (end == 0 || path[end - 1] == '/')
            continue;
        std::string prefix = path.substr(0, end);
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            Report(out, scope, "mkdir", Win32ErrorFromErrno(errno), "Error creating directory");
            return;
        }
    }
}

void CRmdirMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    if (::rmdir(NativePath(argv[0]).c_str()) != 0)
        Report(out, scope, "rmdir", Win32ErrorFromErrno(errno), "Error removing directory");
}

void CAttribMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    std::string path = NativePath(argv[0]);
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return;
    unsigned current = AttributeBits(path, status.st_mode);
    unsigned bits = current & ~kAttributeNormal;
    bool setting = true;
    for (const char* c = argv[1]; *c; ++c) {
        unsigned bit = 0;
        switch (platform::LowerAscii(*c)) {
        case '+': setting = true; continue;
        case '-': setting = false; continue;
        case 'a': bit = kAttributeArchive; break;
        case 'h': bit = kAttributeHidden; break;
        case 'r': bit = kAttributeReadOnly; break;
        case 's': bit = kAttributeSystem; break;
        case 't': bit = kAttributeTemporary; break;
        case 'n': bits = kAttributeNormal; continue;
        default: continue;
        }
        bits = setting ? (bits & ~kAttributeNormal) | bit : bits & ~bit;
    }
    if (unsigned error = SetAttributeBits(path, status, current, bits))
        Report(out, scope, "attrib", error, "Cannot set file attributes.");
}

void CExistsMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    unsigned bits = 0;
    if (argc >= 1 && GetFileAttributeBits(argv[0], bits))
        out->Append(std::to_string(bits));
}

void RegisterFileMacros(CMacroContext& global)
{
    global.Register("csv-quote", std::make_unique<CCSVQuoteMacro>(0));
    global.Register("csv-quoteq", std::make_unique<CCSVQuoteMacro>(1));
    global.Register("csv-append", std::make_unique<CCSVAppendMacro>(0));
    global.Register("csv-appendq", std::make_unique<CCSVAppendMacro>(1));
    global.Register("tab-append", std::make_unique<CTabAppendMacro>());
    global.Register("text-append", std::make_unique<CTextAppendMacro>());
    global.Register("create-file", std::make_unique<CTextAppendMacro>());
    global.Register("include", std::make_unique<CIncludeMacro>());
    global.Register("dir", std::make_unique<CDirMacro>());
    // The template (second argument) reaches dir unexpanded.
    global.Register("'dir", std::make_unique<CConstantMacro>(" ' "));
    global.Register("ext", std::make_unique<CExtMacro>());
    global.Register("delete", std::make_unique<CDeleteMacro>());
    global.Register("move", std::make_unique<CMoveMacro>());
    global.Register("copy", std::make_unique<CCopyMacro>());
    global.Register("rename", std::make_unique<CRenameMacro>());
    global.Register("mkdir", std::make_unique<CMkdirMacro>());
    global.Register("rmdir", std::make_unique<CRmdirMacro>());
    global.Register("attrib", std::make_unique<CAttribMacro>());
    global.Register("exists", std::make_unique<CExistsMacro>());
}
