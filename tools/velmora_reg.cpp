// velmora-reg: reads and seeds the registry hive from a shell.
// Exit status: 0 done, 1 the operation failed or its input was bad, 2 the
// command line was wrong (the usage text is printed).

#include "config/last_mod_stamp.h"
#include "config/registry_names.h"
#include "framework/listening_port.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/registry_file.h"
#include "platform/remote_server.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

using platform::RegistryKey;

// An import text larger than this is refused rather than read into memory:
// a whole configuration with its keys and certificates is far smaller.
constexpr std::size_t kMaxImportBytes = 256u << 20;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: velmora-reg [--no-stamp] COMMAND ARGUMENTS\n"
    "  query KEY [VALUE]           show a key's values and subkeys, or one value\n"
    "  set KEY VALUE TYPE DATA...  write a value, creating the key when missing\n"
    "  delete KEY [VALUE]          delete one value, or the key with all its subkeys\n"
    "  export KEY FILE             write KEY and its subtree as REGEDIT4 text (FILE - for standard output)\n"
    "  import FILE                 apply a REGEDIT4 text (FILE - for standard input)\n"
    "  serve                       answer remote registry requests on standard input and output\n"
    "KEY begins with HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU) or HKEY_USERS (HKU),\n"
    "its names separated by \\ (or /). VALUE \"\" or @ names the key's default value.\n"
    "TYPE and DATA:\n"
    "  REG_SZ TEXT | REG_EXPAND_SZ TEXT\n"
    "  REG_MULTI_SZ ITEM...        one argument per item, none for an empty list\n"
    "  REG_DWORD NUMBER            decimal, or hexadecimal after 0x\n"
    "  REG_BINARY HEX              two hex digits per byte, \"\" for no bytes\n"
    "query shows REG_MULTI_SZ items joined by \\0, binary data as hex digits and control\n"
    "characters in names and texts as \\xHH. export leaves out names holding control\n"
    "characters (all but the tab), writes the rest and names them; import refuses them.\n"
    "The hive is $VELMORA_REGISTRY, else registry.db in the state directory.\n"
    "A set, delete or import under HKLM\\Software\\Tessaline\\Velmora also writes its LastMod,\n"
    "so running servers reload; --no-stamp leaves LastMod alone.\n";

int Usage()
{
    std::cerr << kUsage;
    return kExitUsage;
}

int Fail(const std::string& message)
{
    std::cerr << "velmora-reg: " << message << "\n";
    return kExitFailure;
}

std::string Describe(int code)
{
    std::string text = platform::RegistryErrorText(code);
    if (code == platform::kErrorRegistryIoFailed) {
        std::string detail = platform::RegistryDatabaseError();
        if (!detail.empty())
            text += " (" + detail + ")";
    }
    return text;
}

std::string_view ValueName(std::string_view argument)
{
    return argument == "@" ? std::string_view() : argument;
}

// Names and data are shown with their control characters escaped: a name
// or text a client chose must not steer the terminal that lists it.
std::string ShownName(std::string_view name)
{
    return name.empty() ? std::string("@") : platform::ShownRegistryName(name);
}

// People may type '/' for '\\' (a shell eats unquoted backslashes).
std::string Backslashed(std::string_view argument)
{
    std::string path(argument);
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

// The root and the rest of a KEY argument; null with a message on failure.
const RegistryKey* ParseKey(std::string_view argument, std::string& rest)
{
    std::string path = Backslashed(argument);
    std::string_view after;
    const RegistryKey* root = platform::SplitRegistryPath(path, &after);
    if (!root)
        Fail("unknown root key in \"" + std::string(argument) +
             "\": use HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or HKEY_USERS (HKLM, HKCU, HKU)");
    else
        rest.assign(after);
    return root;
}

// Where a key path lies against the product key, whose values running
// servers read and whose LastMod stamps them.
enum class ProductPlace { outside, productKey, below };

// The part of a key path below the product key ("" for the product key
// itself); nothing when the path lies outside it.
std::optional<std::string> BelowProductKey(std::string_view argument)
{
    std::string path = Backslashed(argument);
    std::string_view rest;
    const RegistryKey* root = platform::SplitRegistryPath(path, &rest);
    if (root != &RegistryKey::LocalMachine())
        return std::nullopt;
    while (!rest.empty() && rest.front() == '\\')
        rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == '\\')
        rest.remove_suffix(1);
    std::string_view product = kProductKeyPath;
    if (rest.size() < product.size() || !platform::EqualsIgnoringCase(rest.substr(0, product.size()), product))
        return std::nullopt;
    rest.remove_prefix(product.size());
    if (!rest.empty() && rest.front() != '\\')
        return std::nullopt;
    while (!rest.empty() && rest.front() == '\\')
        rest.remove_prefix(1);
    return std::string(rest);
}

ProductPlace PlaceOf(std::string_view argument)
{
    std::optional<std::string> below = BelowProductKey(argument);
    if (!below)
        return ProductPlace::outside;
    return below->empty() ? ProductPlace::productKey : ProductPlace::below;
}

bool InProductKey(std::string_view argument) { return PlaceOf(argument) != ProductPlace::outside; }

// Each said once: an import may put many values in one unread key.
void Warn(const std::string& message)
{
    static std::set<std::string> said;
    if (said.insert(message).second)
        std::cerr << "velmora-reg: warning: " << message << " (stored all the same)\n";
}

// The configuration store takes any name, and a far machine may run another
// version; but a name no server reads here is most often a typo whose value
// is silently ignored, so it is said.
void WarnUnread(std::string_view keyArgument, std::optional<std::string_view> valueName,
                std::optional<std::uint32_t> number)
{
    std::optional<std::string> below = BelowProductKey(keyArgument);
    if (!below)
        return;
    RegistryNameCheck check = CheckRegistryName(*below, valueName);
    const std::string productShown = std::string("HKLM\\") + kProductKeyPath;
    if (check.unknown) {
        std::string where =
            platform::ShownRegistryName(check.parent.empty() ? productShown : productShown + "\\" + check.parent);
        std::string message = "no server reads a " + std::string(check.unknownIsValue ? "value" : "key") + " \"" +
                              ShownName(check.unknownName) + "\" in " + where;
        if (!check.hint.empty())
            message += "; " + check.hint + " are read from " + where + "\\" + check.nearest;
        else if (!check.nearest.empty())
            message += "; the nearest name read there is \"" + check.nearest + "\"";
        Warn(message);
        return;
    }
    // A port written as text is not read as a number: the server does not start.
    if (check.readAsListeningPort && valueName && !number)
        Warn(std::string(*valueName) + " is not a REG_DWORD: the server reads no port from it and will not start");
    if (check.readAsListeningPort && number && !IsListeningPort(*number))
        Warn(std::string(*valueName) + " " + std::to_string(*number) + " lies outside " +
             std::to_string(kMinListeningPort) + " to " + std::to_string(kMaxListeningPort) +
             ": the server will not start on it");
}

// True when a REGEDIT4 text names a key (to write or, with '-', to delete)
// in the product key.
bool TextTouchesProductKey(std::string_view text)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? text.size() : end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.empty() || line.front() != '[')
            continue;
        line.remove_prefix(1);
        if (!line.empty() && line.front() == '-')
            line.remove_prefix(1);
        std::size_t close = line.rfind(']');
        if (close != std::string_view::npos && InProductKey(line.substr(0, close)))
            return true;
    }
    return false;
}

int OpenKey(std::string_view argument, RegistryKey& key)
{
    std::string rest;
    const RegistryKey* root = ParseKey(argument, rest);
    if (!root)
        return kExitFailure;
    int code = root->Open(rest, key);
    if (code != platform::kErrorSuccess)
        return Fail("cannot open " + std::string(argument) + ": " + Describe(code));
    return 0;
}

std::string TypeName(std::uint32_t type)
{
    switch (type) {
    case platform::kRegNone: return "REG_NONE";
    case platform::kRegSz: return "REG_SZ";
    case platform::kRegExpandSz: return "REG_EXPAND_SZ";
    case platform::kRegBinary: return "REG_BINARY";
    case platform::kRegDword: return "REG_DWORD";
    case platform::kRegMultiSz: return "REG_MULTI_SZ";
    default: return "REG_TYPE(" + std::to_string(type) + ")";
    }
}

std::string HexBytes(const std::vector<std::uint8_t>& data)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : data) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

std::string ShownData(const platform::RegistryValue& value)
{
    const char* bytes = reinterpret_cast<const char*>(value.data.data());
    std::size_t size = value.data.size();
    switch (value.type) {
    case platform::kRegSz:
    case platform::kRegExpandSz:
        return platform::ShownRegistryName(std::string_view(bytes ? bytes : "", size ? ::strnlen(bytes, size) : 0));
    case platform::kRegMultiSz: {
        std::string text;
        std::size_t pos = 0;
        while (pos < size && bytes[pos] != '\0') {
            std::size_t length = ::strnlen(bytes + pos, size - pos);
            if (!text.empty())
                text += "\\0";
            text += platform::ShownRegistryName(std::string_view(bytes + pos, length));
            pos += length + 1;
        }
        return text;
    }
    case platform::kRegDword:
        if (size == 4) {
            std::uint32_t number;
            std::memcpy(&number, bytes, 4);
            char shown[32];
            std::snprintf(shown, sizeof shown, "0x%08x (%u)", number, number);
            return shown;
        }
        return HexBytes(value.data);
    default: return HexBytes(value.data);
    }
}

void PrintValue(std::string_view name, const platform::RegistryValue& value)
{
    std::cout << "    " << ShownName(name) << "    " << TypeName(value.type) << "    " << ShownData(value) << "\n";
}

int Query(const std::vector<std::string_view>& args)
{
    if (args.size() != 1 && args.size() != 2)
        return Usage();
    RegistryKey key;
    if (int status = OpenKey(args[0], key))
        return status;
    platform::RegistryValue value;
    if (args.size() == 2) {
        std::string_view name = ValueName(args[1]);
        int code = key.QueryValue(name, value);
        if (code != platform::kErrorSuccess)
            return Fail("cannot read the value " + ShownName(name) + " of " + std::string(args[0]) + ": " +
                        Describe(code));
        PrintValue(name, value);
        return 0;
    }
    // One committed state for the whole listing.
    platform::RegistrySnapshot snapshot;
    std::string path;
    int code = key.QueryPath(path);
    if (code != platform::kErrorSuccess)
        return Fail("cannot read " + std::string(args[0]) + ": " + Describe(code));
    std::cout << platform::ShownRegistryName(path) << "\n";
    std::string name;
    for (std::uint32_t index = 0; (code = key.EnumValue(index, name, value)) == platform::kErrorSuccess; ++index)
        PrintValue(name, value);
    if (code != platform::kErrorNoMoreItems)
        return Fail("cannot read the values of " + path + ": " + Describe(code));
    for (std::uint32_t index = 0; (code = key.EnumKey(index, name)) == platform::kErrorSuccess; ++index)
        std::cout << platform::ShownRegistryName(path + "\\" + name) << "\n";
    if (code != platform::kErrorNoMoreItems)
        return Fail("cannot read the subkeys of " + path + ": " + Describe(code));
    return 0;
}

bool ParseDword(std::string_view text, std::uint32_t& value)
{
    std::uint64_t number = 0;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex)
        text.remove_prefix(2);
    if (text.empty() || text.size() > (hex ? 8u : 10u))
        return false;
    for (char c : text) {
        int digit = platform::HexDigitValue(c);
        if (digit < 0 || (!hex && digit > 9))
            return false;
        number = number * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    }
    if (number > 0xFFFFFFFFu)
        return false;
    value = static_cast<std::uint32_t>(number);
    return true;
}

bool ParseHex(std::string_view text, std::vector<std::uint8_t>& bytes)
{
    if (text.size() % 2)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = platform::HexDigitValue(text[i]);
        int low = platform::HexDigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return true;
}

int Set(const std::vector<std::string_view>& args)
{
    if (args.size() < 3)
        return Usage();
    std::string_view type = args[2];
    std::vector<std::string_view> data(args.begin() + 3, args.end());
    bool multi = type == "REG_MULTI_SZ";
    if (!multi && data.size() != 1) {
        if (type != "REG_SZ" && type != "REG_EXPAND_SZ" && type != "REG_DWORD" && type != "REG_BINARY")
            return Fail("unknown value type " + std::string(type) +
                        ": use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD or REG_BINARY");
        return Fail(std::string(type) + " takes exactly one DATA argument");
    }
    std::string rest;
    const RegistryKey* root = ParseKey(args[0], rest);
    if (!root)
        return kExitFailure;

    std::uint32_t number = 0;
    std::vector<std::uint8_t> bytes;
    std::vector<std::string> items;
    if (type == "REG_DWORD") {
        if (data[0].size() > 1 && data[0][0] == '-' && data[0].find_first_not_of("0123456789", 1) == std::string_view::npos)
            return Fail("\"" + std::string(data[0]) + "\" is negative: a REG_DWORD is 0 to 4294967295");
        if (!ParseDword(data[0], number))
            return Fail("\"" + std::string(data[0]) + "\" is not a 32-bit number (decimal, or hexadecimal after 0x)");
    } else if (type == "REG_BINARY") {
        if (!ParseHex(data[0], bytes))
            return Fail("\"" + std::string(data[0]) + "\" is not hex data (two hex digits per byte)");
    } else if (multi) {
        for (std::string_view item : data) {
            // An empty item would end the list early for every reader.
            if (item.empty())
                return Fail("a REG_MULTI_SZ item cannot be empty");
            items.emplace_back(item);
        }
    } else if (type != "REG_SZ" && type != "REG_EXPAND_SZ") {
        return Fail("unknown value type " + std::string(type) +
                    ": use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD or REG_BINARY");
    }

    RegistryKey key;
    int code = root->Create(rest, key);
    if (code != platform::kErrorSuccess)
        return Fail("cannot create " + std::string(args[0]) + ": " + Describe(code));
    std::string_view name = ValueName(args[1]);
    if (type == "REG_DWORD")
        code = key.SetDword(name, number);
    else if (type == "REG_BINARY")
        code = key.SetValue(name, platform::kRegBinary, bytes.data(), bytes.size());
    else if (multi)
        code = key.SetMultiString(name, items);
    else
        code = key.SetString(name, data[0], type == "REG_SZ" ? platform::kRegSz : platform::kRegExpandSz);
    if (code != platform::kErrorSuccess)
        return Fail("cannot write the value " + ShownName(name) + ": " + Describe(code));
    WarnUnread(args[0], name, type == "REG_DWORD" ? std::optional<std::uint32_t>(number) : std::nullopt);
    return 0;
}

int Delete(const std::vector<std::string_view>& args)
{
    if (args.size() != 1 && args.size() != 2)
        return Usage();
    if (args.size() == 2) {
        RegistryKey key;
        if (int status = OpenKey(args[0], key))
            return status;
        std::string_view name = ValueName(args[1]);
        int code = key.DeleteValue(name);
        if (code != platform::kErrorSuccess)
            return Fail("cannot delete the value " + ShownName(name) + ": " + Describe(code));
        return 0;
    }
    std::string rest;
    const RegistryKey* root = ParseKey(args[0], rest);
    if (!root)
        return kExitFailure;
    if (rest.find_first_not_of('\\') == std::string_view::npos)
        return Fail("a root key cannot be deleted");
    int code = root->DeleteTree(rest);
    if (code != platform::kErrorSuccess)
        return Fail("cannot delete " + std::string(args[0]) + ": " + Describe(code));
    return 0;
}

// Replaces FILE through a private temporary beside it: an export may hold
// passwords, and a reader never finds half a file.
int WriteFileAtomically(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return Fail("cannot create a file beside " + path + ": " + std::strerror(errno));
    bool ok = platform::WriteAll(fd, text) && ::fsync(fd) == 0;
    int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0)
        return 0;
    error = errno ? errno : error;
    ::unlink(temporary.c_str());
    return Fail("cannot write " + path + ": " + std::strerror(error));
}

int Export(const std::vector<std::string_view>& args)
{
    if (args.size() != 2)
        return Usage();
    RegistryKey key;
    if (int status = OpenKey(args[0], key))
        return status;
    std::string text;
    platform::RegistryTextResult result = platform::ExportRegistryText(key, text);
    if (!result.Ok())
        return Fail("cannot export " + std::string(args[0]) + ": " + result.message);
    int status = 0;
    if (args[1] == "-") {
        std::cout << text;
        std::cout.flush();
        status = std::cout ? 0 : Fail("cannot write to standard output");
    } else {
        status = WriteFileAtomically(std::string(args[1]), text);
    }
    if (status != 0)
        return status;
    // The rest is written; what is missing is said, and the status tells a
    // script that the copy is not whole.
    for (const std::string& left : result.omitted)
        std::cerr << "velmora-reg: left out of the export, since its name holds a control character: " << left
                  << "\n";
    return result.omitted.empty() ? 0 : kExitFailure;
}

// Reads a whole file (or standard input), at most kMaxImportBytes.
int ReadInput(const std::string& path, std::string& text)
{
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!file)
        return Fail("cannot open " + path + ": " + std::strerror(errno));
    char buffer[65536];
    bool tooLarge = false;
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        if (text.size() + got > kMaxImportBytes) {
            tooLarge = true;
            break;
        }
        text.append(buffer, got);
    }
    bool failed = std::ferror(file);
    if (file != stdin)
        std::fclose(file);
    if (tooLarge)
        return Fail(path + " is larger than " + std::to_string(kMaxImportBytes >> 20) + " MiB");
    if (failed)
        return Fail("cannot read " + path);
    return 0;
}

int Import(const std::vector<std::string_view>& args, std::string& text)
{
    if (args.size() != 1)
        return Usage();
    std::string path(args[0]);
    if (int status = ReadInput(path, text))
        return status;
    platform::RegistryTextResult result = platform::ImportRegistryText(text);
    if (result.Ok()) {
        for (const platform::RegistryTextWrite& write : result.written)
            WarnUnread(write.key, write.value, write.number);
        return 0;
    }
    std::string where = path == "-" ? std::string("standard input") : path;
    if (result.line)
        where += ":" + std::to_string(result.line);
    std::string message = result.message;
    if (result.code == platform::kErrorRegistryIoFailed)
        message += " (" + platform::RegistryDatabaseError() + ")";
    return Fail(where + ": " + message + "; nothing was imported");
}

// Writes the product key's change stamp as every writer does (max(now,
// previous + 1)), so running servers see the change within their hold-off.
void StampProductKey()
{
    CLastModStamp stamp;
    stamp.Open(RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);
    stamp.Close();
}

bool HiveExists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::exists(path, error);
}

} // namespace

int main(int argc, char** argv)
{
    int first = 1;
    bool stamp = true;
    if (first < argc && std::string_view(argv[first]) == "--no-stamp") {
        stamp = false;
        ++first;
    }
    if (argc <= first)
        return Usage();
    std::string_view command = argv[first];
    std::vector<std::string_view> args(argv + first + 1, argv + argc);
    // Run by a remote shell for the desktop program on another machine;
    // its writes stamp LastMod through the saves it is asked to do.
    if (command == "serve")
        return args.empty() ? platform::RemoteRegistrySession().Serve(0, 1) : Usage();
    // Said on standard error: a hive nobody meant to make (no
    // VELMORA_REGISTRY, say) is otherwise a silent write nobody reads.
    const std::string hive = platform::RegistryPath();
    const bool hiveExisted = HiveExists(hive);
    int status = kExitUsage;
    bool changesProduct = false;
    if (command == "query") {
        status = Query(args);
    } else if (command == "set") {
        status = Set(args);
        // A LastMod written by hand is the stamp itself.
        changesProduct = args.size() >= 2 && InProductKey(args[0]) &&
                         !(PlaceOf(args[0]) == ProductPlace::productKey &&
                           platform::EqualsIgnoringCase(ValueName(args[1]), kLastModValueName));
    } else if (command == "delete") {
        status = Delete(args);
        changesProduct = !args.empty() && InProductKey(args[0]);
    } else if (command == "export") {
        status = Export(args);
    } else if (command == "import") {
        std::string text;
        status = Import(args, text);
        changesProduct = TextTouchesProductKey(text);
    } else {
        return Usage();
    }
    if (status == 0 && changesProduct && stamp)
        StampProductKey();
    if (!hiveExisted && HiveExists(hive)) {
        std::error_code error;
        std::filesystem::path shown = std::filesystem::absolute(hive, error);
        std::cerr << "velmora-reg: created the hive " << (error ? hive : shown.string()) << "\n";
    }
    return status;
}
