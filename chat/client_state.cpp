#include "chat/client_state.h"

#include "framework/text_buffer.h"
#include "framework/text_util.h"

#include <climits>

namespace {

// The leading decimal digits, 0 when there are none; saturates instead of
// overflowing.
int LeadingNumber(std::string_view value)
{
    long long number = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            break;
        number = number * 10 + (c - '0');
        if (number > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(number);
}

void Apply(CChatClientState& state, std::string_view name, std::string_view raw)
{
    std::string value = URLDecodeString(raw);
    if (name == "name")
        state.name = std::move(value);
    else if (name == "to")
        state.to = std::move(value);
    else if (name == "text")
        state.text = std::move(value);
    else if (name == "pict")
        state.pict = std::move(value);
    else if (name == "realtime")
        state.realtime = !value.empty();
    else if (name == "showpict")
        state.showpict = !value.empty();
    else if (name == "showsource")
        state.showsource = !value.empty();
    else if (name == "showtime")
        state.showtime = !value.empty();
    else if (name == "numlines")
        state.numlines = LeadingNumber(value);
    else if (name == "lockout")
        state.lockout = std::move(value);
    else if (name == "url")
        state.url = std::move(value);
}

void AppendField(CTextBuffer& out, const char* name, const std::string& value)
{
    if (value.empty())
        return;
    std::string encoded;
    URLEncode(encoded, value);
    out.Append(name);
    out.Append(encoded);
    out.AppendChar('&');
}

} // namespace

void CChatClientState::ParseForm(std::string_view text)
{
    try {
        ForEachFormPiece(text, "\r\n",
                         [&](std::string_view name, std::string_view value) { Apply(*this, name, value); });
    } catch (...) {
        // What was applied stays.
    }
}

void CChatClientState::Format(CTextBuffer& out, int partial) const
{
    AppendField(out, "name=", name);
    AppendField(out, "to=", to);
    AppendField(out, "pict=", pict);
    AppendField(out, "lockout=", lockout);
    if (partial)
        return;
    if (realtime)
        out.Append("realtime=on&");
    if (showpict)
        out.Append("showpict=on&");
    if (showtime)
        out.Append("showtime=on&");
    if (showsource)
        out.Append("showsource=on&");
    out.Append("numlines=");
    out.Append(std::to_string(numlines));
    out.AppendChar('&');
}

std::string CChatClientState::Format(int partial) const
{
    CTextBuffer out(256);
    Format(out, partial);
    return out.ToString();
}
