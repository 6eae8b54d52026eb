// setlocale from threads at once, as two database drivers' connects call it.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <locale.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

// A library loaded at run time finds the process's setlocale, not the C
// library's; and threads that set a category and read the name it returns
// read a name, never one freed by another thread's call (the sanitizer
// build sees such a read).
TEST(LocaleGuardTest, ThreadsSettingTheLocaleAtOnceEachReadTheirOwnName)
{
    void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(::dlsym(RTLD_DEFAULT, "setlocale"), ::dlsym(libc, "setlocale"));
    ::dlclose(libc);

    const char* const settings[] = {"C.UTF-8", "C", ""};
    std::vector<std::thread> threads;
    std::vector<int> unnamed(8, 0);
    for (std::size_t t = 0; t < unnamed.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i) {
                const char* name = ::setlocale(LC_CTYPE, settings[(t + i) % 3]);
                if (!name || std::strchr(name, '\0') == name)
                    ++unnamed[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int count : unnamed)
        EXPECT_EQ(count, 0);
    ::setlocale(LC_CTYPE, "C");
}

} // namespace
