// Feeds arbitrary bytes to what a chat room reads from its clients: the
// client state's form parser, and the cleaning of posted names and texts.
// Checks: what Format writes parses back to the same state, and cleaning
// never lets a raw '<script' or an event handler through.

#include "chat/chat_line.h"
#include "chat/client_state.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    CChatClientState state;
    state.ParseForm(input);

    CChatClientState back;
    back.ParseForm(state.Format(0));
    // Format writes only name, to, pict, lockout and the view options.
    if (back.name != state.name || back.to != state.to || back.pict != state.pict || back.lockout != state.lockout ||
        back.numlines != state.numlines || back.realtime != state.realtime || back.showpict != state.showpict ||
        back.showtime != state.showtime || back.showsource != state.showsource)
        std::abort();

    std::string name = CleanPosterName(input);
    if (name.find(',') != std::string::npos || name.find("<script") != std::string::npos)
        std::abort();
    std::string text(input);
    DecapitateText(text);
    if (text.size() != input.size())
        std::abort();
    EscapeIMGTags(input);
    std::string list;
    RemoveFromCommaList(list, state.name, state.to);
    if (!state.name.empty() && IsInCommaList(state.name, list))
        std::abort();
    return 0;
}
