// The applet library's new and delete are the host's (malloc and free).
//
// The library carries the servers' kit, whose operator new puts a header of
// its own before every block. In a program that kit replaces new and delete
// for every library, Qt's included; inside an applet library they would be
// replaced for the library's own code only, so a widget the library creates
// and Qt deletes (or the other way round) would be freed by the wrong
// allocator. The link sends every new and delete of the library here
// (--wrap), and these match what the host and Qt use.

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

void* Allocate(std::size_t bytes, std::size_t alignment, bool nothrow)
{
    if (bytes == 0)
        bytes = 1;
    for (;;) {
        void* block = nullptr;
        if (alignment <= alignof(std::max_align_t))
            block = std::malloc(bytes);
        else if (::posix_memalign(&block, alignment, bytes) != 0)
            block = nullptr;
        if (block)
            return block;
        std::new_handler handler = std::get_new_handler();
        if (!handler) {
            if (nothrow)
                return nullptr;
            throw std::bad_alloc();
        }
        try {
            handler();
        } catch (...) {
            if (nothrow)
                return nullptr;
            throw;
        }
    }
}

} // namespace

#define VELMORA_NEW(symbol, alignment, nothrow, ...)                                                                 \
    extern "C" void* __wrap_##symbol(__VA_ARGS__) { return Allocate(bytes, alignment, nothrow); }
#define VELMORA_DELETE(symbol, ...)                                                                                  \
    extern "C" void __wrap_##symbol(void* block, ##__VA_ARGS__) noexcept { std::free(block); }

VELMORA_NEW(_Znwm, 0, false, std::size_t bytes)
VELMORA_NEW(_Znam, 0, false, std::size_t bytes)
VELMORA_NEW(_ZnwmRKSt9nothrow_t, 0, true, std::size_t bytes, const std::nothrow_t&)
VELMORA_NEW(_ZnamRKSt9nothrow_t, 0, true, std::size_t bytes, const std::nothrow_t&)
VELMORA_NEW(_ZnwmSt11align_val_t, static_cast<std::size_t>(a), false, std::size_t bytes, std::align_val_t a)
VELMORA_NEW(_ZnamSt11align_val_t, static_cast<std::size_t>(a), false, std::size_t bytes, std::align_val_t a)
VELMORA_NEW(_ZnwmSt11align_val_tRKSt9nothrow_t, static_cast<std::size_t>(a), true, std::size_t bytes,
            std::align_val_t a, const std::nothrow_t&)
VELMORA_NEW(_ZnamSt11align_val_tRKSt9nothrow_t, static_cast<std::size_t>(a), true, std::size_t bytes,
            std::align_val_t a, const std::nothrow_t&)

VELMORA_DELETE(_ZdlPv)
VELMORA_DELETE(_ZdaPv)
VELMORA_DELETE(_ZdlPvRKSt9nothrow_t, const std::nothrow_t&)
VELMORA_DELETE(_ZdaPvRKSt9nothrow_t, const std::nothrow_t&)
VELMORA_DELETE(_ZdlPvm, std::size_t)
VELMORA_DELETE(_ZdaPvm, std::size_t)
VELMORA_DELETE(_ZdlPvSt11align_val_t, std::align_val_t)
VELMORA_DELETE(_ZdaPvSt11align_val_t, std::align_val_t)
VELMORA_DELETE(_ZdlPvmSt11align_val_t, std::size_t, std::align_val_t)
VELMORA_DELETE(_ZdaPvmSt11align_val_t, std::size_t, std::align_val_t)
VELMORA_DELETE(_ZdlPvSt11align_val_tRKSt9nothrow_t, std::align_val_t, const std::nothrow_t&)
VELMORA_DELETE(_ZdaPvSt11align_val_tRKSt9nothrow_t, std::align_val_t, const std::nothrow_t&)
