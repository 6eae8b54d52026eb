#pragma once
// Entropy for keys and session ids: the kernel's random source, and the
// process and machine figures that were mixed in as extra seed material.

#include <cstddef>
#include <cstdint>

namespace platform {

// Fills n bytes from getrandom(2), retrying short reads and EINTR. False
// only when the kernel refuses (the bytes are then not to be used).
bool FillRandom(void* bytes, std::size_t n);

// Figures that change from moment to moment; fed to a generator as seed.
struct ProcessFigures {
    std::uint64_t residentPages;
    std::uint64_t peakResidentKiB;
    std::uint64_t memory[4]; // total, free, shared and buffer RAM
    std::uint64_t cpuTime;   // ns of CPU used by the process
    std::uint64_t kernelTime; // ns in the kernel
    std::uint64_t userTime;   // ns in user space
};
ProcessFigures GetProcessFigures();

} // namespace platform
