#include "chat/chat_line.h"

#include "chat/client_state.h"
#include "framework/html_text.h"
#include "framework/text_buffer.h"

#include <cctype>

namespace {

bool IsCapital(char c) { return c >= 'A' && c <= 'Z'; }
bool IsLetter(char c) { return IsCapital(c) || (c >= 'a' && c <= 'z'); }

// Calls f for every character outside tags.
template <typename F>
void ForEachOutsideTags(std::string& text, F f)
{
    bool inTag = false;
    for (char& c : text) {
        if (inTag) {
            if (c == '>')
                inTag = false;
        } else if (c == '<') {
            inTag = true;
        } else {
            f(c);
        }
    }
}

// Calls visit with each entry of a ','-separated list, runs of commas
// skipped, until visit returns false; an empty entry (the end) stops it.
template <typename Visit>
void ForEachCommaEntry(std::string_view list, Visit visit)
{
    std::size_t at = 0;
    for (;;) {
        while (at < list.size() && list[at] == ',')
            ++at;
        std::size_t end = list.find(',', at);
        if (end == std::string_view::npos)
            end = list.size();
        std::string_view entry = list.substr(at, end - at);
        if (entry.empty() || !visit(entry))
            return;
        at = end;
    }
}

} // namespace

int CChatLine::IsVisibleTo(const CChatClientState& viewer) const
{
    if (to.empty())
        return 1;
    if (viewer.name.empty())
        return 0;
    std::string viewerKey = ViewerKey(viewer);
    if (viewerKey == key)
        return 1;
    return IsInCommaList(viewerKey, to);
}

int IsInCommaList(std::string_view item, std::string_view list)
{
    int found = 0;
    ForEachCommaEntry(list, [&](std::string_view entry) {
        found = entry == item ? 1 : 0;
        return !found;
    });
    return found;
}

void RemoveFromCommaList(std::string& out, std::string_view item, std::string_view list)
{
    out.clear();
    ForEachCommaEntry(list, [&](std::string_view entry) {
        if (entry != item) {
            out.append(entry);
            out.push_back(',');
        }
        return true;
    });
}

void EscapeIMGTags(CTextBuffer& out, std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size()) {
        char c = text[at];
        if (c != '<') {
            out.AppendChar(c);
            ++at;
            continue;
        }
        std::size_t close = text.find('>', at + 1);
        if (close != std::string_view::npos) {
            std::string_view tag = text.substr(at + 1, close - at - 1);
            std::size_t w = 0;
            while (w < tag.size() && tag[w] == ' ')
                ++w;
            std::size_t wEnd = tag.find(' ', w);
            std::string_view word = tag.substr(w, wEnd == std::string_view::npos ? std::string_view::npos : wEnd - w);
            bool isImg = word.size() == 3 && std::toupper(static_cast<unsigned char>(word[0])) == 'I' &&
                         std::toupper(static_cast<unsigned char>(word[1])) == 'M' &&
                         std::toupper(static_cast<unsigned char>(word[2])) == 'G';
            if (!isImg) {
                out.Append(text.substr(at, close - at + 1));
                at = close + 1;
                continue;
            }
        }
        out.Append("&lt;");
        ++at;
    }
}

std::string EscapeIMGTags(std::string_view text)
{
    CTextBuffer out(static_cast<int>(text.size()) + 16);
    EscapeIMGTags(out, text);
    return out.ToString();
}

void DecapitateText(std::string& text)
{
    int letters = 0;
    int capitals = 0;
    ForEachOutsideTags(text, [&](char c) {
        if (IsLetter(c))
            ++letters;
        if (IsCapital(c))
            ++capitals;
    });
    if (letters <= 10 || capitals * 10 / letters < 4)
        return;
    ForEachOutsideTags(text, [](char& c) {
        if (IsCapital(c))
            c = static_cast<char>(c - 'A' + 'a');
    });
}

std::string CleanPosterName(std::string_view name)
{
    CTextBuffer safe(static_cast<int>(name.size()) + 16);
    AppendSafeHTML(&safe, name, true);
    std::string cleaned = safe.ToString();
    for (char& c : cleaned)
        if (c == ',')
            c = ' ';
    return EscapeIMGTags(cleaned);
}

std::string MakeUserKey(std::string_view cleanName, std::string_view ip)
{
    std::string key(cleanName);
    key.push_back('@');
    key.append(ip);
    return key;
}

std::string ViewerKey(const CChatClientState& viewer) { return MakeUserKey(CleanPosterName(viewer.name), viewer.ip); }
