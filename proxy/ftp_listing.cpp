#include "proxy/ftp_listing.h"

#include "framework/text_util.h"

#include <vector>

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
constexpr std::size_t kNameColumns = 31;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

struct Span {
    std::size_t start;
    std::size_t length;
};

// The words of a line and where each starts.
std::vector<Span> SplitWords(std::string_view line)
{
    std::vector<Span> words;
    std::size_t at = 0;
    while (at < line.size()) {
        at = line.find_first_not_of(kBlanks, at);
        if (at == std::string_view::npos)
            break;
        std::size_t end = line.find_first_of(kBlanks, at);
        if (end == std::string_view::npos)
            end = line.size();
        words.push_back({at, end - at});
        at = end;
    }
    return words;
}

// From word index to the end of the line, without the line end: a name
// may hold blanks.
std::string_view RestFrom(std::string_view line, const std::vector<Span>& words, std::size_t index)
{
    if (index >= words.size())
        return {};
    std::string_view rest = line.substr(words[index].start);
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n'))
        rest.remove_suffix(1);
    return rest;
}

std::string_view WordAt(std::string_view line, const std::vector<Span>& words, std::size_t index)
{
    return index < words.size() ? line.substr(words[index].start, words[index].length) : std::string_view{};
}

bool IsUnixMode(std::string_view word)
{
    if (word.size() < 10)
        return false;
    for (std::size_t i = 0; i < 10; ++i) {
        if (!IsLetter(word[i]) && word[i] != '-')
            return false;
    }
    return true;
}

void AppendEscaped(CTextBuffer& out, std::string_view text) { HTMLEncode(&out, text); }

// Text padded with blanks to width columns (left-aligned), escaped.
void AppendPaddedLeft(CTextBuffer& out, std::string_view text, std::size_t width)
{
    AppendEscaped(out, text);
    for (std::size_t n = text.size(); n < width; ++n)
        out.AppendChar(' ');
}

void AppendPaddedRight(CTextBuffer& out, std::string_view text, std::size_t width)
{
    for (std::size_t n = text.size(); n < width; ++n)
        out.AppendChar(' ');
    AppendEscaped(out, text);
}

} // namespace

bool IsDashedDate(std::string_view text)
{
    return text.size() >= 8 && IsDigit(text[0]) && IsDigit(text[1]) && text[2] == '-' && IsDigit(text[3]) &&
           IsDigit(text[4]) && text[5] == '-' && IsDigit(text[6]) && IsDigit(text[7]);
}

bool ParseFTPListLine(std::string_view line, CFTPListEntry& entry)
{
    entry = CFTPListEntry();
    std::vector<Span> words = SplitWords(line);
    if (words.empty())
        return false;
    std::string_view first = WordAt(line, words, 0);
    std::string_view name;
    if (IsDashedDate(first)) {
        entry.date.assign(first);
        entry.time.assign(WordAt(line, words, 1));
        std::string_view size = WordAt(line, words, 2);
        if (size == "<DIR>")
            entry.directory = true;
        else
            entry.size.assign(size);
        name = RestFrom(line, words, 3);
    } else if (IsUnixMode(first)) {
        entry.directory = first[0] == 'd';
        entry.size.assign(WordAt(line, words, 4));
        std::string_view month = WordAt(line, words, 5);
        std::string_view day = WordAt(line, words, 6);
        entry.date.assign(month);
        if (!day.empty()) {
            entry.date += ' ';
            entry.date.append(day);
        }
        entry.time.assign(WordAt(line, words, 7));
        name = RestFrom(line, words, 8);
        // A link shows where it points; the name ends before that.
        if (first[0] == 'l') {
            std::size_t arrow = name.find(" -> ");
            if (arrow != std::string_view::npos)
                name = name.substr(0, arrow);
        }
    } else {
        name = first;
    }
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos)
        return false;
    entry.name.assign(name);
    return true;
}

std::string FTPExtension(std::string_view name)
{
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return "*";
    return LowerCaseString(name.substr(dot + 1));
}

void AppendFTPListEntry(CTextBuffer& out, const CFTPListEntry& entry, std::string_view type, std::string_view icon)
{
    if (!icon.empty()) {
        out.Append("<IMG BORDER=0 ALIGN=absbottom SRC=\"");
        AppendEscaped(out, icon);
        out.Append("\">");
    }
    std::string link;
    URLEncodePath(link, entry.name);
    if (entry.directory)
        link += '/';
    out.Append("<A HREF=\"");
    AppendEscaped(out, link);
    out.Append("\">");
    std::string shown = entry.name;
    if (entry.directory)
        shown += '/';
    AppendPaddedLeft(out, shown, kNameColumns);
    out.Append("</A> ");
    AppendPaddedRight(out, entry.size, 9);
    out.AppendChar(' ');
    AppendPaddedLeft(out, entry.date, 8);
    out.AppendChar(' ');
    AppendPaddedLeft(out, entry.time, 8);
    out.AppendChar(' ');
    AppendEscaped(out, type);
    out.Append("\r\n");
}

void AppendFTPListHead(CTextBuffer& out, std::string_view directory)
{
    out.Append("<HTML><BODY><H1>Directory of ");
    AppendEscaped(out, directory);
    out.Append("</H1><PRE>\r\n<A HREF=\"../\">Go to parent directory</a>\r\n");
}

void AppendFTPListTail(CTextBuffer& out) { out.Append("</PRE></HTML>"); }
