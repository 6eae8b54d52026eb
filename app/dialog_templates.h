#pragma once
// Pages that have two layouts take the one with spin controls (and the
// picture on the About page) from this version word up, the plain twin
// below it. The version word is the application's: major x 256 + minor.
inline constexpr unsigned kVersionWithSpinControls = 0x0333;
