#include "platform/entropy.h"

#include <sys/random.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace platform {

bool FillRandom(void* bytes, std::size_t n)
{
    auto* out = static_cast<unsigned char*>(bytes);
    while (n > 0) {
        ssize_t got = getrandom(out, n, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

namespace {

std::uint64_t Nanoseconds(const timeval& t)
{
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_usec) * 1000u;
}

std::uint64_t ResidentPages()
{
    unsigned long size = 0, resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "re")) {
        if (std::fscanf(statm, "%lu %lu", &size, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident;
}

} // namespace

ProcessFigures GetProcessFigures()
{
    ProcessFigures f{};
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        f.peakResidentKiB = static_cast<std::uint64_t>(usage.ru_maxrss);
        f.kernelTime = Nanoseconds(usage.ru_stime);
        f.userTime = Nanoseconds(usage.ru_utime);
    }
    f.residentPages = ResidentPages();
    struct sysinfo info {};
    if (sysinfo(&info) == 0) {
        f.memory[0] = info.totalram;
        f.memory[1] = info.freeram;
        f.memory[2] = info.sharedram;
        f.memory[3] = info.bufferram;
    }
    timespec cpu{};
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) == 0)
        f.cpuTime = static_cast<std::uint64_t>(cpu.tv_sec) * 1000000000u + static_cast<std::uint64_t>(cpu.tv_nsec);
    return f;
}

} // namespace platform
