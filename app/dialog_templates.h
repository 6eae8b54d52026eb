#pragma once
// The version word (major x 256 + minor) the layouts were designed for. The
// twin layouts without spin controls served systems older than any this
// program runs on, so every page has one layout and the word is a constant.
inline constexpr unsigned kVersionWord = 0x0400;
