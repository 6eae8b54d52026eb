// setlocale for the whole process, one call at a time.
//
// The C library frees a category's previous name whenever it is set, and
// the name it returns is that shared string: a caller that reads it while
// another thread sets the category reads freed memory. The PostgreSQL ODBC
// driver sets LC_CTYPE and reads the name inside every connect, so two
// connects at once (sources connect in parallel) did exactly that. Every
// executable takes this definition in place of the library's (see the
// platform target's link options), drivers loaded later included: the calls
// are serialised and each caller reads a copy of its own, which the next
// call of the same thread for the same category replaces, as the library's
// own would be.

#include <dlfcn.h>
#include <locale.h>

#include <mutex>
#include <string>

namespace {

using SetLocaleFunction = char* (*)(int, const char*);

std::mutex g_setLocaleLock;

// LC_CTYPE .. LC_IDENTIFICATION, LC_ALL among them.
constexpr int kCategories = 13;

} // namespace

// Named by the platform target's link options, so that every executable
// takes this file even where a runtime linked first (a sanitizer's) also
// defines setlocale.
extern "C" void velmora_locale_guard() {}

extern "C" char* setlocale(int category, const char* locale)
{
    thread_local std::string names[kCategories];
    std::lock_guard hold(g_setLocaleLock);
    static const auto next = reinterpret_cast<SetLocaleFunction>(::dlsym(RTLD_NEXT, "setlocale"));
    if (!next)
        return nullptr;
    char* name = next(category, locale);
    if (!name || category < 0 || category >= kCategories)
        return name;
    names[category] = name;
    return names[category].data();
}
