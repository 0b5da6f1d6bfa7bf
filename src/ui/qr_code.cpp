#include "ui/qr_code.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>

namespace Veltrix {

namespace {

// Level H of the standard's error-correction table, indexed by version (0 unused).
constexpr std::array<int, 41> kBlocks = {0,  1,  1,  2,  4,  4,  4,  5,  6,  8,  8,  11, 11, 16,
                                         16, 18, 16, 19, 21, 25, 25, 25, 34, 30, 32, 35, 37, 40,
                                         42, 45, 48, 51, 54, 57, 60, 63, 66, 70, 74, 77, 81};
constexpr std::array<int, 41> kEccPerBlock = {0,  17, 28, 22, 16, 22, 28, 26, 26, 24, 28, 24, 28, 22,
                                              24, 24, 30, 28, 28, 26, 28, 30, 24, 30, 30, 30, 30, 30,
                                              30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30};

// Modules left for codewords once every function pattern is placed.
constexpr int RawDataModules(int version) {
    int result = (16 * version + 128) * version + 64;
    if (version >= 2) {
        const int align = version / 7 + 2;
        result -= (25 * align - 10) * align - 55;
        if (version >= 7) result -= 36;
    }
    return result;
}

constexpr int DataCodewords(int version) {
    return RawDataModules(version) / 8 - kBlocks[version] * kEccPerBlock[version];
}

static_assert(DataCodewords(1) == 9 && DataCodewords(5) == 46 && DataCodewords(10) == 122 &&
              DataCodewords(40) == 1276);

struct FieldTables {
    std::array<std::uint8_t, 512> exp{};
    std::array<std::uint8_t, 256> log{};
};

// Built once; a function-local static is safe when two threads encode for the first time together.
const FieldTables& Field() {
    static const FieldTables tables = [] {
        FieldTables t;
        int value = 1;
        for (int i = 0; i < 255; ++i) {
            t.exp[i] = static_cast<std::uint8_t>(value);
            t.log[value] = static_cast<std::uint8_t>(i);
            value <<= 1;
            if (value >= 0x100) value ^= 0x11D;
        }
        for (int i = 0; i < 257; ++i) t.exp[255 + i] = t.exp[i];
        return t;
    }();
    return tables;
}

std::uint8_t Multiply(const FieldTables& f, std::uint8_t a, std::uint8_t b) {
    if (a == 0 || b == 0) return 0;
    return f.exp[f.log[a] + f.log[b]];
}

// Coefficients of prod (x - 2^i), i < degree, highest first, leading 1 left out.
std::vector<std::uint8_t> Generator(const FieldTables& f, int degree) {
    std::vector<std::uint8_t> g(static_cast<std::size_t>(degree), 0);
    g.back() = 1;
    std::uint8_t root = 1;
    for (int i = 0; i < degree; ++i) {
        for (std::size_t j = 0; j < g.size(); ++j) {
            g[j] = Multiply(f, g[j], root);
            if (j + 1 < g.size()) g[j] ^= g[j + 1];
        }
        root = Multiply(f, root, 2);
    }
    return g;
}

std::vector<std::uint8_t> Remainder(const FieldTables& f, const std::vector<std::uint8_t>& data,
                                    const std::vector<std::uint8_t>& generator) {
    std::vector<std::uint8_t> r(generator.size(), 0);
    for (std::uint8_t b : data) {
        const std::uint8_t factor = b ^ r[0];
        std::rotate(r.begin(), r.begin() + 1, r.end());
        r.back() = 0;
        for (std::size_t i = 0; i < r.size(); ++i) r[i] ^= Multiply(f, generator[i], factor);
    }
    return r;
}

class Symbol {
public:
    explicit Symbol(int version) : version_(version), size_(4 * version + 17) {
        const std::size_t n = static_cast<std::size_t>(size_) * size_;
        modules_.assign(n, 0);
        function_.assign(n, 0);
    }

    QrCode Build(const std::vector<std::uint8_t>& data) {
        DrawFunctionPatterns();
        PlaceCodewords(Interleave(data));
        int best = 0;
        long bestPenalty = -1;
        for (int mask = 0; mask < 8; ++mask) {
            ApplyMask(mask);
            DrawFormatBits(mask);
            const long penalty = Penalty();
            if (bestPenalty < 0 || penalty < bestPenalty) {
                best = mask;
                bestPenalty = penalty;
            }
            ApplyMask(mask);
        }
        ApplyMask(best);
        DrawFormatBits(best);
        DrawVersionBits();
        QrCode code;
        code.size = size_;
        code.version = version_;
        code.modules = std::move(modules_);
        code.functionFlags = std::move(function_);
        return code;
    }

private:
    std::size_t At(int x, int y) const { return static_cast<std::size_t>(y) * size_ + x; }
    void SetFunction(int x, int y, bool dark) {
        modules_[At(x, y)] = dark ? 1 : 0;
        function_[At(x, y)] = 1;
    }

    std::vector<std::uint8_t> Interleave(const std::vector<std::uint8_t>& data) const {
        const FieldTables& f = Field();
        const int blocks = kBlocks[version_];
        const int ecc = kEccPerBlock[version_];
        const int d = static_cast<int>(data.size());
        const int shortLength = d / blocks;
        const int longBlocks = d % blocks;
        const auto generator = Generator(f, ecc);
        std::vector<std::vector<std::uint8_t>> dataBlocks, eccBlocks;
        std::size_t pos = 0;
        for (int b = 0; b < blocks; ++b) {
            const int length = shortLength + (b >= blocks - longBlocks ? 1 : 0);
            dataBlocks.emplace_back(data.begin() + pos, data.begin() + pos + length);
            pos += length;
            eccBlocks.push_back(Remainder(f, dataBlocks.back(), generator));
        }
        std::vector<std::uint8_t> out;
        out.reserve(data.size() + static_cast<std::size_t>(blocks) * ecc);
        for (int i = 0; i <= shortLength; ++i) {
            for (const auto& block : dataBlocks) {
                if (i < static_cast<int>(block.size())) out.push_back(block[i]);
            }
        }
        for (int i = 0; i < ecc; ++i) {
            for (const auto& block : eccBlocks) out.push_back(block[i]);
        }
        return out;
    }

    void DrawFinder(int cx, int cy) {
        for (int dy = -4; dy <= 4; ++dy) {
            for (int dx = -4; dx <= 4; ++dx) {
                const int x = cx + dx, y = cy + dy;
                if (x < 0 || y < 0 || x >= size_ || y >= size_) continue;
                const int dist = std::max(std::abs(dx), std::abs(dy));
                SetFunction(x, y, dist != 2 && dist != 4);
            }
        }
    }

    std::vector<int> AlignmentCoordinates() const {
        if (version_ == 1) return {};
        const int count = version_ / 7 + 2;
        const int step = version_ == 32 ? 26 : (4 * version_ + 2 * count + 1) / (2 * count - 2) * 2;
        std::vector<int> coords(static_cast<std::size_t>(count));
        coords[0] = 6;
        int pos = size_ - 7;
        for (int i = count - 1; i >= 1; --i, pos -= step) coords[i] = pos;
        return coords;
    }

    void DrawFunctionPatterns() {
        DrawFinder(3, 3);
        DrawFinder(size_ - 4, 3);
        DrawFinder(3, size_ - 4);
        for (int i = 8; i <= size_ - 9; ++i) {
            SetFunction(6, i, i % 2 == 0);
            SetFunction(i, 6, i % 2 == 0);
        }
        const auto coords = AlignmentCoordinates();
        const int last = static_cast<int>(coords.size()) - 1;
        for (int i = 0; i <= last; ++i) {
            for (int j = 0; j <= last; ++j) {
                if ((i == 0 && j == 0) || (i == 0 && j == last) || (i == last && j == 0)) continue;
                for (int dy = -2; dy <= 2; ++dy) {
                    for (int dx = -2; dx <= 2; ++dx) {
                        SetFunction(coords[i] + dx, coords[j] + dy, std::max(std::abs(dx), std::abs(dy)) != 1);
                    }
                }
            }
        }
        SetFunction(8, size_ - 8, true);
        // Format and version areas: reserved now, drawn after masking.
        for (int i = 0; i <= 8; ++i) {
            function_[At(8, i)] = 1;
            function_[At(i, 8)] = 1;
        }
        for (int i = 0; i < 8; ++i) function_[At(size_ - 1 - i, 8)] = 1;
        for (int i = 0; i < 7; ++i) function_[At(8, size_ - 7 + i)] = 1;
        if (version_ >= 7) {
            for (int i = 0; i < 18; ++i) {
                function_[At(size_ - 11 + i % 3, i / 3)] = 1;
                function_[At(i / 3, size_ - 11 + i % 3)] = 1;
            }
        }
    }

    void PlaceCodewords(const std::vector<std::uint8_t>& codewords) {
        const std::size_t bits = codewords.size() * 8;
        std::size_t i = 0;
        for (int right = size_ - 1; right >= 1; right -= 2) {
            if (right == 6) right = 5;
            const bool upward = ((right + 1) & 2) == 0;
            for (int vert = 0; vert < size_; ++vert) {
                const int y = upward ? size_ - 1 - vert : vert;
                for (int j = 0; j < 2; ++j) {
                    const int x = right - j;
                    if (function_[At(x, y)] || i >= bits) continue;
                    modules_[At(x, y)] = (codewords[i >> 3] >> (7 - (i & 7))) & 1;
                    ++i;
                }
            }
        }
    }

    static bool MaskBit(int mask, int x, int y) {
        switch (mask) {
            case 0: return (x + y) % 2 == 0;
            case 1: return y % 2 == 0;
            case 2: return x % 3 == 0;
            case 3: return (x + y) % 3 == 0;
            case 4: return (x / 3 + y / 2) % 2 == 0;
            case 5: return x * y % 2 + x * y % 3 == 0;
            case 6: return (x * y % 2 + x * y % 3) % 2 == 0;
            default: return ((x + y) % 2 + x * y % 3) % 2 == 0;
        }
    }

    void ApplyMask(int mask) {
        for (int y = 0; y < size_; ++y) {
            for (int x = 0; x < size_; ++x) {
                if (!function_[At(x, y)] && MaskBit(mask, x, y)) modules_[At(x, y)] ^= 1;
            }
        }
    }

    void DrawFormatBits(int mask) {
        const int data = 16 + mask;  // level H (binary 10), then the mask
        int rem = data;
        for (int i = 0; i < 10; ++i) rem = (rem << 1) ^ ((rem >> 9) * 0x537);
        const int bits = ((data << 10) | rem) ^ 0x5412;
        const auto bit = [bits](int i) { return ((bits >> i) & 1) != 0; };
        for (int i = 0; i <= 5; ++i) SetFunction(8, i, bit(i));
        SetFunction(8, 7, bit(6));
        SetFunction(8, 8, bit(7));
        SetFunction(7, 8, bit(8));
        for (int i = 9; i < 15; ++i) SetFunction(14 - i, 8, bit(i));
        for (int i = 0; i < 8; ++i) SetFunction(size_ - 1 - i, 8, bit(i));
        for (int i = 8; i < 15; ++i) SetFunction(8, size_ - 15 + i, bit(i));
    }

    void DrawVersionBits() {
        if (version_ < 7) return;
        int rem = version_;
        for (int i = 0; i < 12; ++i) rem = (rem << 1) ^ ((rem >> 11) * 0x1F25);
        const long bits = (static_cast<long>(version_) << 12) | rem;
        for (int i = 0; i < 18; ++i) {
            const bool dark = ((bits >> i) & 1) != 0;
            SetFunction(size_ - 11 + i % 3, i / 3, dark);
            SetFunction(i / 3, size_ - 11 + i % 3, dark);
        }
    }

    // Only two rules are scored: runs of five or more, and 2 x 2 blocks.
    long Penalty() const {
        long penalty = 0;
        for (int pass = 0; pass < 2; ++pass) {
            for (int a = 0; a < size_; ++a) {
                int run = 0;
                std::uint8_t colour = 2;
                for (int b = 0; b < size_; ++b) {
                    const std::uint8_t m = pass == 0 ? modules_[At(b, a)] : modules_[At(a, b)];
                    if (m == colour) {
                        ++run;
                        if (run == 5) penalty += 3;
                        else if (run > 5) penalty += 1;
                    } else {
                        colour = m;
                        run = 1;
                    }
                }
            }
        }
        for (int y = 0; y + 1 < size_; ++y) {
            for (int x = 0; x + 1 < size_; ++x) {
                const std::uint8_t m = modules_[At(x, y)];
                if (m == modules_[At(x + 1, y)] && m == modules_[At(x, y + 1)] && m == modules_[At(x + 1, y + 1)]) {
                    penalty += 3;
                }
            }
        }
        return penalty;
    }

    int version_;
    int size_;
    std::vector<std::uint8_t> modules_;
    std::vector<std::uint8_t> function_;
};

}  // namespace

QrCode EncodeQrText(std::string_view payload) {
    const long n = static_cast<long>(payload.size());
    int version = 0;
    for (int v = 1; v <= 40; ++v) {
        const long lengthBits = v <= 9 ? 8 : 16;
        if (4 + lengthBits + 8 * n + 7 <= 8L * DataCodewords(v)) {
            version = v;
            break;
        }
    }
    if (version == 0) return {};
    const int d = DataCodewords(version);
    const int lengthBits = version <= 9 ? 8 : 16;

    std::vector<bool> bits;
    const auto append = [&bits](unsigned value, int count) {
        for (int i = count - 1; i >= 0; --i) bits.push_back(((value >> i) & 1) != 0);
    };
    append(0x4, 4);
    append(static_cast<unsigned>(n), lengthBits);
    for (char c : payload) append(static_cast<unsigned char>(c), 8);
    const std::size_t capacity = static_cast<std::size_t>(d) * 8;
    append(0, static_cast<int>(std::min<std::size_t>(4, capacity - bits.size())));
    while (bits.size() % 8 != 0) bits.push_back(false);

    std::vector<std::uint8_t> data(bits.size() / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i]) data[i >> 3] |= static_cast<std::uint8_t>(0x80 >> (i & 7));
    }
    for (std::uint8_t pad = 0xEC; data.size() < static_cast<std::size_t>(d); pad ^= 0xEC ^ 0x11) data.push_back(pad);
    return Symbol(version).Build(data);
}

bool IsQrModuleDark(const QrCode& code, int x, int y) {
    if (x < 0 || y < 0 || x >= code.size || y >= code.size) return false;
    return code.modules[static_cast<std::size_t>(y) * code.size + x] != 0;
}

QrLayout QrLayoutFor(const QrCode& code, int pixels) {
    if (code.size < 1 || pixels < 1) return {};
    const int span = code.size + 4;
    QrLayout layout{pixels / span, (pixels % span) / 2};
    if (layout.scale < 1) return {};
    return layout;
}

RgbaImage RenderQrToRgba(const QrCode& code, int pixels) {
    const QrLayout layout = QrLayoutFor(code, pixels);
    if (layout.scale < 1) return {};
    RgbaImage image;
    image.width = image.height = pixels;
    image.pixels.assign(static_cast<std::size_t>(pixels) * pixels * 4, 255);
    for (int y = 0; y < code.size; ++y) {
        for (int x = 0; x < code.size; ++x) {
            if (!IsQrModuleDark(code, x, y)) continue;
            const int left = (x + 2) * layout.scale + layout.offset;
            const int top = (y + 2) * layout.scale + layout.offset;
            for (int py = top; py < top + layout.scale; ++py) {
                std::uint8_t* row = &image.pixels[(static_cast<std::size_t>(py) * pixels + left) * 4];
                for (int px = 0; px < layout.scale; ++px) {
                    row[px * 4 + 0] = row[px * 4 + 1] = row[px * 4 + 2] = 0;
                    row[px * 4 + 3] = 255;
                }
            }
        }
    }
    return image;
}

}  // namespace Veltrix
