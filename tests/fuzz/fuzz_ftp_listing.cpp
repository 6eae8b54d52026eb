// libFuzzer target for FTP LIST replies as a server may send them: every
// line becomes a page line in which nothing the server wrote is markup.

#include "proxy/ftp_listing.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// True when the page text holds a '<' that none of our own tags opens.
bool HasForeignTag(std::string_view page)
{
    static const std::string_view kOwn[] = {"<IMG ", "<A HREF=", "</A>"};
    for (std::size_t at = page.find('<'); at != std::string_view::npos; at = page.find('<', at + 1)) {
        bool own = false;
        for (std::string_view tag : kOwn)
            own = own || page.substr(at, tag.size()) == tag;
        if (!own)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        std::string_view line = text.substr(at, end == std::string_view::npos ? end : end - at + 1);
        CFTPListEntry entry;
        if (ParseFTPListLine(line, entry)) {
            if (entry.name.empty() || entry.name.find('/') != std::string::npos)
                std::abort();
            CTextBuffer page;
            AppendFTPListEntry(page, entry, FTPExtension(entry.name), "");
            std::string_view shown = page.View();
            // One line, and the server's text never opens a tag or ends the link.
            if (shown.find('\n') != shown.size() - 1 || HasForeignTag(shown) ||
                shown.find('"', 9) != shown.find("\">"))
                std::abort();
        }
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    return 0;
}
