#include "platform/registry_file.h"

#include "platform/ascii.h"

#include <cstdint>
#include <vector>

namespace platform {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Continuation lines start with this indent.
constexpr std::string_view kContinuationIndent = "  ";

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string Quote(std::string_view text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

char HexDigit(unsigned value)
{
    return "0123456789abcdef"[value & 0xF];
}

std::string HexNumber(std::uint32_t value, int minDigits)
{
    std::string digits;
    while (value || static_cast<int>(digits.size()) < minDigits) {
        digits.insert(digits.begin(), HexDigit(value));
        value >>= 4;
    }
    return digits;
}

// REG_SZ data that reads back unchanged from "...": one terminating NUL, no
// other NUL and no line break.
bool IsPlainString(const std::vector<std::uint8_t>& data)
{
    if (data.empty() || data.back() != 0)
        return false;
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    return text.find('\0') == std::string_view::npos && !HasLineBreak(text);
}

void AppendHexData(std::string& out, std::string head, const std::vector<std::uint8_t>& data)
{
    std::size_t column = head.size();
    out += head;
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::string piece{HexDigit(data[i] >> 4), HexDigit(data[i])};
        if (i + 1 < data.size())
            piece += ',';
        // Room is kept for the continuation backslash.
        if (i > 0 && column + piece.size() + 1 > kRegistryTextLineWidth) {
            out += "\\\n";
            out += kContinuationIndent;
            column = kContinuationIndent.size();
        }
        out += piece;
        column += piece.size();
    }
    out += '\n';
}

void AppendValue(std::string& out, std::string_view name, const RegistryValue& value)
{
    std::string head = name.empty() ? std::string("@=") : Quote(name) + "=";
    if (value.type == kRegSz && IsPlainString(value.data)) {
        std::string_view text(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1);
        out += head + Quote(text) + "\n";
    } else if (value.type == kRegDword && value.data.size() == 4) {
        std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                               (static_cast<std::uint32_t>(value.data[3]) << 24);
        out += head + "dword:" + HexNumber(number, 8) + "\n";
    } else if (value.type == kRegBinary) {
        AppendHexData(out, head + "hex:", value.data);
    } else {
        AppendHexData(out, head + "hex(" + HexNumber(value.type, 1) + "):", value.data);
    }
}

RegistryTextResult Failure(int code, std::size_t line, std::string message)
{
    RegistryTextResult result;
    result.code = code;
    result.line = line;
    result.message = std::move(message);
    return result;
}

RegistryTextResult ExportKey(const RegistryKey& key, const std::string& path, std::string& out,
                             std::vector<std::string>& children, std::vector<std::string>& omitted)
{
    out += "[" + path + "]\n";
    std::string name;
    RegistryValue value;
    for (std::uint32_t index = 0;; ++index) {
        int code = key.EnumValue(index, name, value);
        if (code == kErrorNoMoreItems)
            break;
        if (code != kErrorSuccess)
            return Failure(code, 0, "cannot read the values of " + path + ": " + RegistryErrorText(code));
        // One odd name must not cost the export everything else.
        if (!IsRegistryTextName(name)) {
            omitted.push_back("the value \"" + ShownRegistryName(name) + "\" of " + ShownRegistryName(path));
            continue;
        }
        AppendValue(out, name, value);
    }
    out += '\n';
    children.clear();
    for (std::uint32_t index = 0;; ++index) {
        int code = key.EnumKey(index, name);
        if (code == kErrorNoMoreItems)
            break;
        if (code != kErrorSuccess)
            return Failure(code, 0, "cannot read the subkeys of " + path + ": " + RegistryErrorText(code));
        if (!IsRegistryTextName(name)) {
            omitted.push_back("the key " + ShownRegistryName(path + "\\" + name) + " with its subkeys");
            continue;
        }
        children.push_back(name);
    }
    return {};
}

// --- import -------------------------------------------------------------

std::string_view Trim(std::string_view text)
{
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return {};
    std::size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

std::vector<std::string_view> SplitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// 1 to 8 hex digits, nothing else.
bool ParseHexNumber(std::string_view text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        int digit = HexDigitValue(c);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
}

// A quoted string at text[pos] with \\ and \" escapes; pos moves past it.
bool ParseQuoted(std::string_view text, std::size_t& pos, std::string& out, std::string& error)
{
    out.clear();
    for (++pos; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (pos + 1 >= text.size() || (text[pos + 1] != '\\' && text[pos + 1] != '"')) {
                error = "a backslash in a quoted text must be followed by \\ or \"";
                return false;
            }
            c = text[++pos];
        }
        out += c;
    }
    error = "a quoted text has no closing quote";
    return false;
}

bool ParseHexBytes(std::string_view text, std::vector<std::uint8_t>& bytes)
{
    bytes.clear();
    text = Trim(text);
    if (text.empty())
        return true;
    if (text.back() == ',')
        text.remove_suffix(1);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view token = Trim(text.substr(start, end - start));
        std::uint32_t value = 0;
        if (token.size() > 2 || !ParseHexNumber(token, value))
            return false;
        bytes.push_back(static_cast<std::uint8_t>(value));
        start = end + 1;
    }
    return true;
}

class Importer {
public:
    explicit Importer(std::string_view text) : m_lines(SplitLines(text)) {}
    RegistryTextResult Run();

private:
    RegistryTextResult KeyLine(std::string_view line);
    RegistryTextResult ValueLine(std::string_view line);
    RegistryTextResult Error(int code, std::string message) const { return Failure(code, m_lineNumber, message); }
    RegistryTextResult Syntax(std::string message) const { return Error(kErrorInvalidParameter, std::move(message)); }
    RegistryTextResult Result(int code, const std::string& what) const
    {
        return code == kErrorSuccess ? RegistryTextResult() : Error(code, what + ": " + RegistryErrorText(code));
    }
    // Joins the lines that a trailing backslash continues.
    bool GatherContinuation(std::string& data);

    std::vector<std::string_view> m_lines;
    std::size_t m_index = 0;
    std::size_t m_lineNumber = 0;
    RegistryKey m_key;
    std::string m_keyPath; // as shown to people
    std::string m_keyText; // as the text gives it
    bool m_inDeletedKey = false;
    std::vector<RegistryTextWrite> m_written;
};

RegistryTextResult Importer::Run()
{
    if (m_lines.empty())
        return Failure(kErrorInvalidParameter, 1, "the text is empty; it must begin with REGEDIT4");
    std::string_view first = m_lines[0];
    if (first.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        first.remove_prefix(kByteOrderMark.size());
    if (Trim(first) != kHeader)
        return Failure(kErrorInvalidParameter, 1, "the first line must be REGEDIT4");

    RegistryTransaction transaction;
    if (transaction.Status() != kErrorSuccess)
        return Failure(transaction.Status(), 0, "cannot begin the import: " + RegistryErrorText(transaction.Status()));
    for (m_index = 1; m_index < m_lines.size(); ++m_index) {
        m_lineNumber = m_index + 1;
        std::string_view line = Trim(m_lines[m_index]);
        if (line.empty() || line.front() == ';')
            continue;
        RegistryTextResult result = line.front() == '[' ? KeyLine(line) : ValueLine(line);
        if (!result.Ok())
            return result;
    }
    int code = transaction.Commit();
    if (code != kErrorSuccess)
        return Failure(code, 0, "cannot commit the import: " + RegistryErrorText(code));
    RegistryTextResult done;
    done.written = std::move(m_written);
    return done;
}

RegistryTextResult Importer::KeyLine(std::string_view line)
{
    if (line.size() < 2 || line.back() != ']')
        return Syntax("a key line must end with ]");
    std::string_view path = line.substr(1, line.size() - 2);
    bool remove = !path.empty() && path.front() == '-';
    if (remove)
        path.remove_prefix(1);
    std::string_view rest;
    const RegistryKey* root = SplitRegistryPath(path, &rest);
    if (!root)
        return Syntax("unknown root key in [" + ShownRegistryName(path) + "]");
    // A key of such a name may still be deleted: that is how it is cleaned up.
    if (!remove && !IsRegistryTextName(path))
        return Syntax("the key name " + ShownRegistryName(path) +
                      " holds a control character; key names cannot hold any but the tab");
    m_keyPath = ShownRegistryName(path); // for messages only
    m_key.Close();
    m_inDeletedKey = remove;
    if (remove) {
        int code = root->DeleteTree(rest);
        return Result(code == kErrorFileNotFound ? kErrorSuccess : code, "cannot delete " + m_keyPath);
    }
    m_keyText = path;
    m_written.push_back({m_keyText, std::nullopt, std::nullopt});
    return Result(root->Create(rest, m_key), "cannot create " + m_keyPath);
}

bool Importer::GatherContinuation(std::string& data)
{
    for (;;) {
        std::string_view tail = Trim(data);
        if (tail.empty() || tail.back() != '\\')
            return true;
        data.assign(tail.substr(0, tail.size() - 1));
        if (m_index + 1 >= m_lines.size())
            return false;
        data += Trim(m_lines[++m_index]);
    }
}

RegistryTextResult Importer::ValueLine(std::string_view line)
{
    if (m_inDeletedKey)
        return Syntax("a value line follows the deletion of " + m_keyPath);
    if (!m_key.IsOpen())
        return Syntax("a value line comes before any key line");
    std::string name;
    std::size_t pos = 0;
    std::string error;
    if (line.front() == '@') {
        pos = 1;
    } else if (line.front() == '"') {
        if (!ParseQuoted(line, pos, name, error))
            return Syntax(error);
    } else {
        return Syntax("a value line must begin with a quoted name or @");
    }
    std::string_view rest = Trim(line.substr(pos));
    if (rest.empty() || rest.front() != '=')
        return Syntax("= must follow the value name");
    rest = Trim(rest.substr(1));
    const std::string what = "cannot write the value \"" + name + "\" in " + m_keyPath;

    if (rest == "-") {
        int code = m_key.DeleteValue(name);
        return Result(code == kErrorFileNotFound ? kErrorSuccess : code,
                      "cannot delete \"" + ShownRegistryName(name) + "\"");
    }
    if (!IsRegistryTextName(name))
        return Syntax("the value name \"" + ShownRegistryName(name) +
                      "\" holds a control character; value names cannot hold any but the tab");
    if (!rest.empty() && rest.front() == '"') {
        std::string text;
        std::size_t at = 0;
        if (!ParseQuoted(rest, at, text, error))
            return Syntax(error);
        if (!Trim(rest.substr(at)).empty())
            return Syntax("text follows the closing quote");
        m_written.push_back({m_keyText, name, std::nullopt});
        return Result(m_key.SetString(name, text), what);
    }
    if (rest.substr(0, 6) == "dword:") {
        std::uint32_t number = 0;
        if (!ParseHexNumber(Trim(rest.substr(6)), number))
            return Syntax("dword: needs 1 to 8 hex digits");
        m_written.push_back({m_keyText, name, number});
        return Result(m_key.SetDword(name, number), what);
    }
    if (rest.substr(0, 3) == "hex") {
        std::uint32_t type = kRegBinary;
        std::size_t colon = rest.find(':');
        if (colon == std::string_view::npos)
            return Syntax("hex data needs a colon");
        std::string_view kind = rest.substr(3, colon - 3);
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' ||
                !ParseHexNumber(kind.substr(1, kind.size() - 2), type))
                return Syntax("hex(N): needs a type number of 1 to 8 hex digits");
        }
        std::string data(rest.substr(colon + 1));
        std::size_t valueLine = m_lineNumber;
        if (!GatherContinuation(data))
            return Syntax("the last line ends with a continuation backslash");
        std::vector<std::uint8_t> bytes;
        if (!ParseHexBytes(data, bytes))
            return Failure(kErrorInvalidParameter, valueLine, "hex data must be bytes of two hex digits separated by commas");
        m_written.push_back({m_keyText, name, std::nullopt});
        return Result(m_key.SetValue(name, type, bytes.data(), bytes.size()), what);
    }
    return Syntax("unknown value data; expected \"text\", dword:, hex: or hex(N):");
}

} // namespace

bool IsRegistryTextName(std::string_view name)
{
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F)
            return false;
    }
    return true;
}

std::string ShownRegistryName(std::string_view name)
{
    std::string shown;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += "\\x";
            shown += HexDigit(byte >> 4);
            shown += HexDigit(byte);
        } else {
            shown += c;
        }
    }
    return shown;
}

RegistryTextResult ExportRegistryText(const RegistryKey& key, std::string& text)
{
    RegistrySnapshot snapshot;
    if (snapshot.Status() != kErrorSuccess)
        return Failure(snapshot.Status(), 0, "cannot read the registry: " + RegistryErrorText(snapshot.Status()));
    std::string path;
    if (int code = key.QueryPath(path); code != kErrorSuccess)
        return Failure(code, 0, "cannot read the key: " + RegistryErrorText(code));
    if (!IsRegistryTextName(path))
        return Failure(kErrorInvalidParameter, 0,
                       "the key name " + ShownRegistryName(path) + " holds a control character and cannot be written");

    // Depth first without recursion: a deep tree cannot exhaust the stack.
    struct Pending {
        RegistryKey key;
        std::string path;
    };
    std::vector<Pending> stack;
    RegistryKey start;
    if (int code = key.Duplicate(start); code != kErrorSuccess)
        return Failure(code, 0, "cannot open the key: " + RegistryErrorText(code));
    stack.push_back({std::move(start), path});
    std::string out(kHeader);
    out += "\n\n";
    std::vector<std::string> children;
    std::vector<std::string> omitted;
    while (!stack.empty()) {
        Pending current = std::move(stack.back());
        stack.pop_back();
        RegistryTextResult result = ExportKey(current.key, current.path, out, children, omitted);
        if (!result.Ok())
            return result;
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            Pending next{RegistryKey(), current.path + "\\" + *child};
            if (int code = current.key.Open(*child, next.key); code != kErrorSuccess)
                return Failure(code, 0, "cannot open " + next.path + ": " + RegistryErrorText(code));
            stack.push_back(std::move(next));
        }
    }
    text = std::move(out);
    RegistryTextResult result;
    result.omitted = std::move(omitted);
    return result;
}

RegistryTextResult ImportRegistryText(std::string_view text)
{
    return Importer(text).Run();
}

} // namespace platform
