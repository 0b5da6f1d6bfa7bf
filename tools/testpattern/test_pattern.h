// Test pictures for the host simulator, and the stamp that carries each
// picture's push time through encoding, the network and decoding.
//
// The stamp is a grid of 16 x 8 black/white cells near the top-left corner:
// a sync byte, the 64-bit push time in microseconds, the 32-bit frame index, a
// CRC-16 over those twelve bytes and the inverted sync byte. Cell size is a
// fixed fraction of the picture's short side, so a picture that was scaled on
// the way (the resolution cap) still reads back; the reader takes its
// threshold from the sync cells, so limited-range luma reads as well as full
// range. A reader either recovers the exact values or reports nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Veltrix {

struct PatternStamp {
    std::uint64_t pushTimeUs = 0;
    std::uint32_t frameIndex = 0;
    bool operator==(const PatternStamp&) const = default;
};

enum class PatternKind {
    kMoving,  // scrolling colour bars, a moving square, and the stamp
    kStatic,  // the same bars standing still, no stamp: every frame identical
    kNoise,   // fresh random pixels every frame (nothing to compress), and the stamp
    kSync,    // the moving picture; the host turns one frame a second white (DrawFlash)
};

// "moving", "static", "noise" or "sync".
std::optional<PatternKind> ParsePatternKind(std::string_view name);
const char* PatternKindName(PatternKind kind);

// The smallest short side the stamp fits in.
inline constexpr int kStampMinShortSide = 80;

// Draws one picture of the pattern into 8-bit BGRA (rowBytes >= 4 * width).
// For kMoving the content moves with stamp.frameIndex and the stamp is written
// (when the picture is large enough).
void DrawPattern(PatternKind kind, std::uint8_t* bgra, int width, int height, int rowBytes,
                 const PatternStamp& stamp);

// The white flash of the sync pattern, with the stamp.
void DrawFlash(std::uint8_t* bgra, int width, int height, int rowBytes, const PatternStamp& stamp);

// Writes only the stamp; false when the picture is too small for it.
bool WriteStamp(std::uint8_t* bgra, int width, int height, int rowBytes, const PatternStamp& stamp);

// Reads the stamp from BGRA pixels or from a luma plane (e.g. the Y plane of
// a decoded NV12/YUV420 picture). Nothing when absent, damaged or too small.
std::optional<PatternStamp> ReadStampBgra(const std::uint8_t* bgra, int width, int height,
                                          int rowBytes);
std::optional<PatternStamp> ReadStampLuma(const std::uint8_t* luma, int width, int height,
                                          int stride);

}  // namespace Veltrix
