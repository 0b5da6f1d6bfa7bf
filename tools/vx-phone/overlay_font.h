// A 5 x 7 bitmap font for the window's overlay: digits, capitals and the few
// signs the figures use. Each glyph is seven rows, bit 4 the leftmost pixel.
#pragma once

#include <array>
#include <cstdint>

namespace Veltrix::phone {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;

// The rows of `c` (lower case is shown as capitals); blank for unknown signs.
std::array<std::uint8_t, kGlyphHeight> GlyphRows(char c);

}  // namespace Veltrix::phone
