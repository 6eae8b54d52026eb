#include "http/isapi_cache.h"

#include "framework/text_util.h"
#include "framework/thread_data.h"
#include "platform/library.h"

#include <map>
#include <memory>
#include <mutex>

namespace {

struct LoadedExtension {
    platform::Library library;
    PFN_HTTPEXTENSIONPROC entry = nullptr;
};

std::mutex g_lock;
std::map<std::string, std::unique_ptr<LoadedExtension>>* g_cache = nullptr;

} // namespace

void InitISAPICache()
{
    CHeapSwitch shared;
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_cache == nullptr)
        g_cache = new std::map<std::string, std::unique_ptr<LoadedExtension>>();
}

void FreeISAPICache()
{
    CHeapSwitch shared;
    std::lock_guard<std::mutex> hold(g_lock);
    delete g_cache;
    g_cache = nullptr;
}

PFN_HTTPEXTENSIONPROC CISAPIExtension::Load(const std::string& path)
{
    // Loading happens under the lock, so two first requests load it once.
    // The entries outlive the server whose request loaded them, so they
    // come from the shared heap, never a server's own.
    CHeapSwitch shared;
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_cache == nullptr)
        g_cache = new std::map<std::string, std::unique_ptr<LoadedExtension>>();
    std::string key = LowerCaseString(path);
    auto found = g_cache->find(key);
    if (found != g_cache->end())
        return found->second->entry;
    auto loaded = std::make_unique<LoadedExtension>();
    if (!loaded->library.Open(path))
        return nullptr;
    loaded->entry = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(loaded->library.Symbol("HttpExtensionProc"));
    if (loaded->entry == nullptr)
        return nullptr;
    PFN_HTTPEXTENSIONPROC entry = loaded->entry;
    g_cache->emplace(key, std::move(loaded));
    return entry;
}
