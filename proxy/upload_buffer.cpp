#include "proxy/upload_buffer.h"

#include "framework/thread_data.h"

#include <mutex>
#include <unordered_map>

namespace {

struct Account {
    std::mutex mutex;
    std::size_t held = 0;
    std::unordered_map<std::uint32_t, std::size_t> byAddress;
};

Account& TheAccount()
{
    static Account account;
    return account;
}

// Takes n bytes from the account for the address; false when either bound
// would be passed.
bool Draw(std::uint32_t address, std::size_t n)
{
    Account& account = TheAccount();
    // The account outlives the request: never on its private heap.
    CHeapSwitch shared;
    std::lock_guard<std::mutex> hold(account.mutex);
    std::size_t& own = account.byAddress[address];
    if (n > kMaxBufferedUploadBytes - account.held || n > kMaxBufferedUploadBytesPerAddress - own) {
        if (own == 0)
            account.byAddress.erase(address);
        return false;
    }
    account.held += n;
    own += n;
    return true;
}

void GiveBack(std::uint32_t address, std::size_t n) noexcept
{
    if (n == 0)
        return;
    Account& account = TheAccount();
    std::lock_guard<std::mutex> hold(account.mutex);
    account.held -= n;
    auto it = account.byAddress.find(address);
    if (it != account.byAddress.end() && (it->second -= n) == 0)
        account.byAddress.erase(it);
}

} // namespace

bool CUploadBuffer::Append(std::string_view bytes)
{
    if (!Draw(m_address, bytes.size()))
        return false;
    if (m_pages.Append(bytes))
        return true;
    GiveBack(m_address, bytes.size());
    return false;
}

void CUploadBuffer::Free() noexcept
{
    GiveBack(m_address, m_pages.Size());
    m_pages.Free();
}

std::size_t CUploadBuffer::TotalHeld()
{
    Account& account = TheAccount();
    std::lock_guard<std::mutex> hold(account.mutex);
    return account.held;
}
