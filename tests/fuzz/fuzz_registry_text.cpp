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

// Every key under every root, one text each; aborts on an omitted name.
std::vector<std::string> ExportAll()
{
    std::vector<std::string> all;
    for (const platform::RegistryKey* root : kRoots) {
        for (const std::string& name : TopKeys(*root)) {
            platform::RegistryKey key;
            if (root->Open(name, key) != platform::kErrorSuccess)
                std::abort();
            std::string text;
            platform::RegistryTextResult result = platform::ExportRegistryText(key, text);
            if (!result.Ok() || !result.omitted.empty())
                std::abort();
            all.push_back(std::move(text));
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
    std::vector<std::string> first = ExportAll();
    // Each exported text goes back in as written.
    Clear();
    for (const std::string& text : first)
        if (!platform::ImportRegistryText(text).Ok())
            std::abort();
    if (ExportAll() != first)
        std::abort();
    return 0;
}
