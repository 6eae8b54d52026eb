// Runs arbitrary odbc.ini texts through the profile reader as the applet's
// data-source import uses it: list the sources, copy each listed one into a
// second file, then delete it there. Findings: sanitizer reports, and a
// copied section that does not read back with the entries it was given.

#include "controlpanel/odbc_sources.h"
#include "platform/profile.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <strings.h>
#include <unistd.h>

namespace {

std::string Folder()
{
    static std::string folder = [] {
        char path[] = "/tmp/fuzz_profile.XXXXXX";
        return std::string(::mkdtemp(path) ? path : "/tmp");
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string from = Folder() + "/from.ini";
    const std::string to = Folder() + "/to.ini";
    std::ofstream(from, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                  static_cast<std::streamsize>(size));
    platform::Profile source;
    if (!source.Load(from))
        return 0;
    int copies = 0;
    for (const CDataSourceEntry& entry : ListDataSources(from)) {
        if (++copies > 8)
            break;
        // Each copy lands in a fresh destination: a source named "keep"
        // replaces, then deletes, the destination's own.
        std::ofstream(to, std::ios::trunc) << "[ODBC Data Sources]\nkeep=K\n\n[keep]\nDriver=K\n";
        if (!CopyDataSource(entry.name, from, to))
            continue;
        platform::Profile copied;
        copied.Load(to);
        if (copied.Entries(entry.name).size() != source.Entries(entry.name).size())
            std::abort();
        DeleteDataSource(entry.name, to);
        copied.Load(to);
        if (copied.HasSection(entry.name) || (::strcasecmp(entry.name.c_str(), "keep") != 0 && !copied.HasSection("keep")))
            std::abort();
    }
    return 0;
}
