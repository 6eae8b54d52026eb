// libFuzzer target for FTP LIST replies as a server may send them: every
// line becomes a page line in which nothing the server wrote is markup.

#include "page_line_checks.h"
#include "proxy/ftp_listing.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    ForEachServerLine(text, [](std::string_view line) {
        CFTPListEntry entry;
        if (!ParseFTPListLine(line, entry))
            return;
        if (entry.name.empty() || entry.name.find('/') != std::string::npos)
            std::abort();
        CTextBuffer page;
        AppendFTPListEntry(page, entry, FTPExtension(entry.name), "");
        std::string_view shown = page.View();
        // One line, and the server's text never opens a tag or ends the link.
        if (shown.find('\n') != shown.size() - 1 || HasForeignTag(shown, {"<IMG ", "<A HREF=", "</A>"}) ||
            shown.find('"', 9) != shown.find("\">"))
            std::abort();
    });
    return 0;
}
