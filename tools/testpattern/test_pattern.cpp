#include "testpattern/test_pattern.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace Veltrix {
namespace {

constexpr int kCols = 16;
constexpr int kRows = 8;
constexpr int kCells = kCols * kRows;  // 128
constexpr std::uint8_t kSync = 0xB2;
constexpr double kCellsPerShortSide = 40.0;

struct Geometry {
    double cell = 0;
    double originX = 0;
    double originY = 0;
};

bool GeometryFor(int width, int height, Geometry* g) {
    if (width <= 0 || height <= 0 || std::min(width, height) < kStampMinShortSide) return false;
    g->cell = std::min(width, height) / kCellsPerShortSide;
    g->originX = g->cell;  // one quiet cell of margin
    g->originY = g->cell;
    return true;
}

int Edge(double v) { return static_cast<int>(std::lround(v)); }

std::uint16_t Crc16(const std::uint8_t* data, std::size_t n) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i]) << 8;
        for (int b = 0; b < 8; ++b) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

// The 16 bytes the cells carry, most significant bit first.
std::array<std::uint8_t, 16> Encode(const PatternStamp& s) {
    std::array<std::uint8_t, 16> b{};
    b[0] = kSync;
    for (int i = 0; i < 8; ++i) b[1 + i] = static_cast<std::uint8_t>(s.pushTimeUs >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) b[9 + i] = static_cast<std::uint8_t>(s.frameIndex >> (24 - 8 * i));
    const std::uint16_t crc = Crc16(b.data() + 1, 12);
    b[13] = static_cast<std::uint8_t>(crc >> 8);
    b[14] = static_cast<std::uint8_t>(crc);
    b[15] = static_cast<std::uint8_t>(~kSync);
    return b;
}

bool Bit(const std::array<std::uint8_t, 16>& bytes, int cell) {
    return (bytes[cell / 8] >> (7 - cell % 8)) & 1;
}

void FillRect(std::uint8_t* bgra, int rowBytes, int x0, int y0, int x1, int y1, std::uint8_t b,
              std::uint8_t g, std::uint8_t r) {
    for (int y = y0; y < y1; ++y) {
        std::uint8_t* p = bgra + static_cast<std::size_t>(y) * rowBytes + static_cast<std::size_t>(x0) * 4;
        for (int x = x0; x < x1; ++x, p += 4) {
            p[0] = b;
            p[1] = g;
            p[2] = r;
            p[3] = 255;
        }
    }
}

// Mean luma of the middle half of one cell, through a pixel reader.
template <typename LumaAt>
double CellLuma(const Geometry& g, int cell, LumaAt lumaAt) {
    const int c = cell % kCols;
    const int r = cell / kCols;
    const double cx = g.originX + (c + 0.5) * g.cell;
    const double cy = g.originY + (r + 0.5) * g.cell;
    const double half = std::max(0.5, g.cell / 4.0);
    const int x0 = static_cast<int>(std::floor(cx - half)), x1 = static_cast<int>(std::ceil(cx + half));
    const int y0 = static_cast<int>(std::floor(cy - half)), y1 = static_cast<int>(std::ceil(cy + half));
    double sum = 0;
    int n = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            sum += lumaAt(x, y);
            ++n;
        }
    }
    return n ? sum / n : 0;
}

template <typename LumaAt>
std::optional<PatternStamp> Read(int width, int height, LumaAt lumaAt) {
    Geometry g;
    if (!GeometryFor(width, height, &g)) return std::nullopt;
    std::array<double, kCells> luma{};
    for (int i = 0; i < kCells; ++i) luma[i] = CellLuma(g, i, lumaAt);
    // Threshold halfway between the sync cells' whites and blacks.
    const std::uint8_t syncs[2] = {kSync, static_cast<std::uint8_t>(~kSync)};
    double white = 0, black = 0;
    int nw = 0, nb = 0;
    for (int s = 0; s < 2; ++s) {
        for (int bit = 0; bit < 8; ++bit) {
            const double v = luma[(s == 0 ? 0 : 120) + bit];
            if ((syncs[s] >> (7 - bit)) & 1) {
                white += v;
                ++nw;
            } else {
                black += v;
                ++nb;
            }
        }
    }
    white /= nw;
    black /= nb;
    if (white - black < 32) return std::nullopt;  // no contrast: no stamp here
    const double threshold = (white + black) / 2;
    std::array<std::uint8_t, 16> bytes{};
    for (int i = 0; i < kCells; ++i) {
        if (luma[i] > threshold) bytes[i / 8] |= static_cast<std::uint8_t>(1u << (7 - i % 8));
    }
    if (bytes[0] != kSync || bytes[15] != static_cast<std::uint8_t>(~kSync)) return std::nullopt;
    const std::uint16_t crc = Crc16(bytes.data() + 1, 12);
    if (bytes[13] != (crc >> 8) || bytes[14] != (crc & 0xFF)) return std::nullopt;
    PatternStamp s;
    for (int i = 0; i < 8; ++i) s.pushTimeUs = (s.pushTimeUs << 8) | bytes[1 + i];
    for (int i = 0; i < 4; ++i) s.frameIndex = (s.frameIndex << 8) | bytes[9 + i];
    return s;
}

// Eight bars of 75 % colour: white, yellow, cyan, green, magenta, red, blue, black (BGR).
constexpr std::uint8_t kBars[8][3] = {{191, 191, 191}, {0, 191, 191}, {191, 191, 0}, {0, 191, 0},
                                      {191, 0, 191},   {0, 0, 191},   {191, 0, 0},   {16, 16, 16}};

}  // namespace

std::optional<PatternKind> ParsePatternKind(std::string_view name) {
    if (name == "moving") return PatternKind::kMoving;
    if (name == "static") return PatternKind::kStatic;
    if (name == "noise") return PatternKind::kNoise;
    if (name == "sync") return PatternKind::kSync;
    return std::nullopt;
}

const char* PatternKindName(PatternKind kind) {
    switch (kind) {
        case PatternKind::kMoving: return "moving";
        case PatternKind::kStatic: return "static";
        case PatternKind::kNoise: return "noise";
        default: return "sync";
    }
}

void DrawFlash(std::uint8_t* bgra, int width, int height, int rowBytes, const PatternStamp& stamp) {
    if (!bgra || width <= 0 || height <= 0 || rowBytes < width * 4) return;
    for (int y = 0; y < height; ++y) std::memset(bgra + static_cast<std::size_t>(y) * rowBytes, 255, static_cast<std::size_t>(width) * 4);
    WriteStamp(bgra, width, height, rowBytes, stamp);
}

bool WriteStamp(std::uint8_t* bgra, int width, int height, int rowBytes, const PatternStamp& stamp) {
    Geometry g;
    if (!bgra || rowBytes < width * 4 || !GeometryFor(width, height, &g)) return false;
    // Quiet black frame one cell wide around the grid.
    const int qx0 = Edge(g.originX - g.cell), qy0 = Edge(g.originY - g.cell);
    const int qx1 = std::min(width, Edge(g.originX + (kCols + 1) * g.cell));
    const int qy1 = std::min(height, Edge(g.originY + (kRows + 1) * g.cell));
    FillRect(bgra, rowBytes, std::max(0, qx0), std::max(0, qy0), qx1, qy1, 0, 0, 0);
    const auto bytes = Encode(stamp);
    for (int i = 0; i < kCells; ++i) {
        if (!Bit(bytes, i)) continue;
        const int c = i % kCols, r = i / kCols;
        FillRect(bgra, rowBytes, Edge(g.originX + c * g.cell), Edge(g.originY + r * g.cell),
                 Edge(g.originX + (c + 1) * g.cell), Edge(g.originY + (r + 1) * g.cell), 255, 255, 255);
    }
    return true;
}

void DrawPattern(PatternKind kind, std::uint8_t* bgra, int width, int height, int rowBytes,
                 const PatternStamp& stamp) {
    if (!bgra || width <= 0 || height <= 0 || rowBytes < width * 4) return;
    if (kind == PatternKind::kNoise) {
        // xorshift64*, seeded by the frame: every frame differs, runs repeat.
        std::uint64_t x = 0x9E3779B97F4A7C15ull ^ (static_cast<std::uint64_t>(stamp.frameIndex) + 1) * 0xD1B54A32D192ED03ull;
        for (int y = 0; y < height; ++y) {
            std::uint8_t* p = bgra + static_cast<std::size_t>(y) * rowBytes;
            for (int i = 0; i < width; i += 2, p += 8) {
                x ^= x >> 12;
                x ^= x << 25;
                x ^= x >> 27;
                const std::uint64_t v = x * 0x2545F4914F6CDD1Dull;
                const int n = std::min(2, width - i);
                for (int k = 0; k < n; ++k) {
                    p[4 * k + 0] = static_cast<std::uint8_t>(v >> (24 * k));
                    p[4 * k + 1] = static_cast<std::uint8_t>(v >> (24 * k + 8));
                    p[4 * k + 2] = static_cast<std::uint8_t>(v >> (24 * k + 16));
                    p[4 * k + 3] = 255;
                }
            }
        }
        WriteStamp(bgra, width, height, rowBytes, stamp);
        return;
    }
    const bool moving = kind != PatternKind::kStatic;
    // One row of bars, twice as wide, so each scrolled row is a single copy.
    const int barWidth = std::max(1, width / 8);
    const int period = barWidth * 8;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(width + period) * 4);
    for (int x = 0; x < width + period; ++x) {
        const auto* c = kBars[(x / barWidth) % 8];
        row[x * 4 + 0] = c[0];
        row[x * 4 + 1] = c[1];
        row[x * 4 + 2] = c[2];
        row[x * 4 + 3] = 255;
    }
    const int shift = moving ? static_cast<int>((stamp.frameIndex * 4u) % static_cast<unsigned>(period)) : 0;
    const int barsBottom = height * 3 / 4;
    for (int y = 0; y < barsBottom; ++y) {
        std::memcpy(bgra + static_cast<std::size_t>(y) * rowBytes, row.data() + shift * 4,
                    static_cast<std::size_t>(width) * 4);
    }
    // A grey ramp below the bars.
    for (int y = barsBottom; y < height; ++y) {
        std::uint8_t* p = bgra + static_cast<std::size_t>(y) * rowBytes;
        for (int x = 0; x < width; ++x, p += 4) {
            const auto v = static_cast<std::uint8_t>(x * 255 / std::max(1, width - 1));
            p[0] = p[1] = p[2] = v;
            p[3] = 255;
        }
    }
    if (!moving) return;
    // A square that travels across the lower bars, one step per frame.
    const int side = std::max(4, std::min(width, height) / 8);
    const int travel = std::max(1, width - side);
    const int pos = static_cast<int>((stamp.frameIndex * 8u) % (2u * travel));
    const int x0 = pos < travel ? pos : 2 * travel - pos;
    const int y0 = std::max(0, barsBottom - side - side / 2);
    FillRect(bgra, rowBytes, x0, y0, std::min(width, x0 + side), std::min(height, y0 + side), 255, 255, 255);
    WriteStamp(bgra, width, height, rowBytes, stamp);
}

std::optional<PatternStamp> ReadStampBgra(const std::uint8_t* bgra, int width, int height, int rowBytes) {
    if (!bgra || rowBytes < width * 4) return std::nullopt;
    return Read(width, height, [&](int x, int y) {
        x = std::clamp(x, 0, width - 1);
        y = std::clamp(y, 0, height - 1);
        const std::uint8_t* p = bgra + static_cast<std::size_t>(y) * rowBytes + static_cast<std::size_t>(x) * 4;
        return (19 * p[0] + 183 * p[1] + 54 * p[2]) / 256.0;
    });
}

std::optional<PatternStamp> ReadStampLuma(const std::uint8_t* luma, int width, int height, int stride) {
    if (!luma || stride < width) return std::nullopt;
    return Read(width, height, [&](int x, int y) {
        x = std::clamp(x, 0, width - 1);
        y = std::clamp(y, 0, height - 1);
        return static_cast<double>(luma[static_cast<std::size_t>(y) * stride + x]);
    });
}

}  // namespace Veltrix
