// The applet library's new and delete are the host process's own.
//
// The library carries the servers' kit, whose operator new puts a header of
// its own before every block. In a program that kit replaces new and delete
// for every library, Qt's included; inside an applet library it would
// replace them for the library's own code only, so a widget the library
// creates and Qt deletes (or the other way round) would be freed by the
// wrong allocator. The link sends every new and delete of the library here
// (--wrap), and these call the ones the rest of the process uses: the
// host's, the sanitizer's or the C++ library's.

#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

template <class Function>
Function ProcessWide(const char* symbol)
{
    // The library's own definitions are local, so this finds the process's.
    Function found = reinterpret_cast<Function>(::dlsym(RTLD_DEFAULT, symbol));
    if (!found)
        std::abort();
    return found;
}

} // namespace

#define VELMORA_FORWARD(result, symbol, parameters, arguments)                                                       \
    extern "C" result __wrap_##symbol parameters                                                                     \
    {                                                                                                                \
        static const auto forward = ProcessWide<result(*) parameters>(#symbol);                                      \
        return forward arguments;                                                                                    \
    }

using Size = std::size_t;
using Align = std::align_val_t;
using NoThrow = const std::nothrow_t&;

VELMORA_FORWARD(void*, _Znwm, (Size s), (s))
VELMORA_FORWARD(void*, _Znam, (Size s), (s))
VELMORA_FORWARD(void*, _ZnwmRKSt9nothrow_t, (Size s, NoThrow t) noexcept, (s, t))
VELMORA_FORWARD(void*, _ZnamRKSt9nothrow_t, (Size s, NoThrow t) noexcept, (s, t))
VELMORA_FORWARD(void*, _ZnwmSt11align_val_t, (Size s, Align a), (s, a))
VELMORA_FORWARD(void*, _ZnamSt11align_val_t, (Size s, Align a), (s, a))
VELMORA_FORWARD(void*, _ZnwmSt11align_val_tRKSt9nothrow_t, (Size s, Align a, NoThrow t) noexcept, (s, a, t))
VELMORA_FORWARD(void*, _ZnamSt11align_val_tRKSt9nothrow_t, (Size s, Align a, NoThrow t) noexcept, (s, a, t))
VELMORA_FORWARD(void, _ZdlPv, (void* p) noexcept, (p))
VELMORA_FORWARD(void, _ZdaPv, (void* p) noexcept, (p))
VELMORA_FORWARD(void, _ZdlPvRKSt9nothrow_t, (void* p, NoThrow t) noexcept, (p, t))
VELMORA_FORWARD(void, _ZdaPvRKSt9nothrow_t, (void* p, NoThrow t) noexcept, (p, t))
VELMORA_FORWARD(void, _ZdlPvm, (void* p, Size s) noexcept, (p, s))
VELMORA_FORWARD(void, _ZdaPvm, (void* p, Size s) noexcept, (p, s))
VELMORA_FORWARD(void, _ZdlPvSt11align_val_t, (void* p, Align a) noexcept, (p, a))
VELMORA_FORWARD(void, _ZdaPvSt11align_val_t, (void* p, Align a) noexcept, (p, a))
VELMORA_FORWARD(void, _ZdlPvmSt11align_val_t, (void* p, Size s, Align a) noexcept, (p, s, a))
VELMORA_FORWARD(void, _ZdaPvmSt11align_val_t, (void* p, Size s, Align a) noexcept, (p, s, a))
VELMORA_FORWARD(void, _ZdlPvSt11align_val_tRKSt9nothrow_t, (void* p, Align a, NoThrow t) noexcept, (p, a, t))
VELMORA_FORWARD(void, _ZdaPvSt11align_val_tRKSt9nothrow_t, (void* p, Align a, NoThrow t) noexcept, (p, a, t))
