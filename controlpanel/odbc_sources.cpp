#include "controlpanel/odbc_sources.h"

#include "platform/ascii.h"
#include "platform/profile.h"

#include <cstdlib>
#include <string_view>

namespace {

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Section names the driver manager reads for itself.
constexpr const char* kReservedSections[] = {kDataSourceListSection, "ODBC"};

} // namespace

std::string DataSourceNameFault(const std::string& name)
{
    // Section names are read trimmed, so " ODBC " is the ODBC section too.
    std::size_t begin = name.find_first_not_of(" \t");
    std::size_t end = name.find_last_not_of(" \t");
    std::string_view trimmed = begin == std::string::npos ? std::string_view()
                                                          : std::string_view(name).substr(begin, end - begin + 1);
    for (const char* reserved : kReservedSections)
        if (platform::EqualsIgnoringCase(trimmed, reserved))
            return "\"" + name + "\" is the name of a section odbc.ini keeps for itself, not of a data source; "
                   "a data source of that name would replace it.";
    // The list line is "name=driver": the driver manager reads a name
    // holding '=' as a shorter one, and a line beginning with '#' or ';' as
    // a comment, so the source would be copied and never found.
    if (!platform::Profile::IsKeyName(name) || trimmed.starts_with('#') || name.find(']') != std::string::npos)
        return "\"" + name + "\" cannot be a data source's name in odbc.ini: a name may not hold '=' or ']', "
               "nor begin with '[', ';' or '#'.";
    return {};
}

std::string ServiceDataSourceFile()
{
    if (std::string file = Environment("ODBCINI"); !file.empty())
        return file;
    if (std::string folder = Environment("ODBCSYSINI"); !folder.empty())
        return folder + "/odbc.ini";
    return "/etc/odbc.ini";
}

std::string UserDataSourceFile() { return Environment("HOME") + "/.odbc.ini"; }

std::vector<CDataSourceEntry> ListDataSources(const std::string& file)
{
    std::vector<CDataSourceEntry> list;
    platform::Profile profile;
    if (!profile.Load(file))
        return list;
    for (auto& [name, driver] : profile.Entries(kDataSourceListSection))
        list.push_back({name, profile.GetString(kDataSourceListSection, name).value_or(driver)});
    return list;
}

bool CopyDataSource(const std::string& name, const std::string& fromFile, const std::string& toFile)
{
    if (!DataSourceNameFault(name).empty())
        return false;
    platform::Profile from;
    platform::Profile to;
    // The source is checked before anything of the destination goes: a
    // list entry without its section must not cost the destination its own.
    if (!from.Load(fromFile) || !from.HasSection(name) || !to.Load(toFile))
        return false;
    if (std::optional<std::string> driver = from.GetString(kDataSourceListSection, name))
        if (!to.SetString(kDataSourceListSection, name, *driver))
            return false;
    to.RemoveSection(name);
    if (!to.AddSection(name, from.Entries(name)))
        return false;
    return to.Save(toFile);
}

bool DeleteDataSource(const std::string& name, const std::string& file)
{
    if (!DataSourceNameFault(name).empty())
        return false;
    platform::Profile profile;
    if (!profile.Load(file))
        return false;
    profile.RemoveSection(name);
    profile.SetString(kDataSourceListSection, name, std::nullopt);
    return profile.Save(file);
}
