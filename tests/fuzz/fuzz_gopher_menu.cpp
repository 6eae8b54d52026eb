// libFuzzer target for gopher menus as a server may send them and gopher
// URL paths as clients send them: menu lines become inert page lines, and a
// decoded selector never carries a line break to a server.

#include "page_line_checks.h"
#include "proxy/gopher_menu.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);

    char type = 0;
    std::string selector;
    if (DecodeGopherPath(text, type, selector) && selector.find_first_of("\r\n") != std::string::npos)
        std::abort();

    ForEachServerLine(text, [](std::string_view line) {
        CGopherMenuLine entry;
        if (!ParseGopherMenuLine(line, entry))
            return;
        CTextBuffer page;
        AppendGopherMenuLine(page, entry, BuiltinGopherIcon(entry.type));
        std::string_view shown = page.View();
        if (HasForeignTag(shown, {"<A HREF=", "</A>", "<IMG ", "<B>", "</B>"}))
            std::abort();
        if (!entry.info) {
            // The link's own text comes back from the link.
            std::size_t start = shown.find(':', 9);
            std::size_t slash = shown.find('/', shown.find(':', start + 3) + 1);
            std::size_t quote = shown.find('"', 9);
            if (slash == std::string_view::npos || quote == std::string_view::npos ||
                shown.find('\n') + 1 != shown.size())
                std::abort();
        }
    });
    return 0;
}
