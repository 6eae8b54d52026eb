#pragma once
// SHA-256 of a byte string, for names derived from text that someone else
// may choose (two texts with one digest cannot be found).

#include <array>
#include <cstdint>
#include <string_view>

namespace platform {

std::array<std::uint8_t, 32> Sha256(std::string_view data);

} // namespace platform
