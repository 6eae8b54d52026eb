// REGEDIT4 texts as velmora-reg import reads them, applied to a hive of its
// own and exported again. Findings: sanitizer reports, an import that took a
// name its export then leaves out, and an export that does not import back
// to the same text.

#include "platform/registry.h"
#include "platform/registry_file.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

void UseOwnHive()
{
    static const bool ready = [] {
        std::string folder = (std::filesystem::temp_directory_path() / "velmora-fuzz-XXXXXX").string();
        if (!::mkdtemp(folder.data()))
            std::abort();
        ::setenv("VELMORA_REGISTRY", (folder + "/hive.db").c_str(), 1);
        return true;
    }();
    (void)ready;
}

const platform::RegistryKey* const kRoots[] = {&platform::RegistryKey::LocalMachine(),
                                               &platform::RegistryKey::CurrentUser(),
                                               &platform::RegistryKey::Users()};

std::vector<std::string> TopKeys(const platform::RegistryKey& root)
{
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t index = 0; root.EnumKey(index, name) == platform::kErrorSuccess; ++index)
        names.push_back(name);
    return names;
}

// Every key under every root, as one text; aborts on an omitted name.
std::string ExportAll()
{
    std::string all;
    for (const platform::RegistryKey* root : kRoots) {
        for (const std::string& name : TopKeys(*root)) {
            platform::RegistryKey key;
            if (root->Open(name, key) != platform::kErrorSuccess)
                std::abort();
            std::string text;
            platform::RegistryTextResult result = platform::ExportRegistryText(key, text);
            if (!result.Ok() || !result.omitted.empty())
                std::abort();
            all += text;
        }
    }
    return all;
}

void Clear()
{
    for (const platform::RegistryKey* root : kRoots)
        for (const std::string& name : TopKeys(*root))
            root->DeleteTree(name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    UseOwnHive();
    Clear();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!platform::ImportRegistryText(text).Ok())
        return 0;
    std::string first = ExportAll();
    // Each exported key goes back in whole: one text a key, as written.
    Clear();
    std::string rest = first;
    for (std::size_t next; !rest.empty(); rest.erase(0, next)) {
        next = rest.find("REGEDIT4", 1);
        if (next == std::string::npos)
            next = rest.size();
        if (!platform::ImportRegistryText(rest.substr(0, next)).Ok())
            std::abort();
    }
    if (ExportAll() != first)
        std::abort();
    return 0;
}
