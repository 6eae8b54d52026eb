#include "framework/host_name.h"

#include "framework/text_util.h"
#include "framework/thread_data.h"
#include "framework/wsocket.h"
#include "platform/net.h"

#include <atomic>

namespace {

std::atomic<QNSLookupFunction> g_qnsLookup{nullptr};

bool LookupQNS(std::uint32_t address, std::string& name)
{
    QNSLookupFunction lookup = g_qnsLookup.load();
    return lookup && lookup(address, name);
}

} // namespace

void SetQNSLookup(QNSLookupFunction lookup) { g_qnsLookup.store(lookup); }

bool LookupQNSHostName(std::uint32_t address, std::string& name) { return LookupQNS(address, name); }

namespace {

// A look-up runs in a thread of its own (for its deadline), which frees the
// look-up's state when it ends, maybe after this fiber and its private heap
// are gone: that state comes from the shared heap.
bool LookupNameOnSharedHeap(std::uint32_t address, std::string& out)
{
    std::string found;
    {
        CHeapSwitch shared;
        if (platform::LookupHostName(address, kNameLookupDeadlineMs, &found) < 0)
            return false;
    }
    out = found;
    return true;
}

} // namespace

void ResolveHostName(std::string& out, std::uint32_t address)
{
    out.clear();
    if (LookupQNS(address, out))
        return;
    if (!LookupNameOnSharedHeap(address, out))
        out.clear();
}

int GetLocalHostName(std::string& out, WSocketBase& socket, bool resolve)
{
    out.clear();
    std::uint32_t address = 0;
    if (socket.GetLocalAddress(&address) < 0)
        return -1;
    if (LookupQNS(address, out))
        return 0;
    out.clear();
    if (resolve && LookupNameOnSharedHeap(address, out) && !out.empty())
        return 0;
    FormatIPAddress(out, address);
    return 0;
}
