// Writes the recovery blocks cm256cc computes for the fixed cases, so the
// Windows build (which has no cm256cc) can prove its encoder identical.
// Usage: gen_fec_vectors <out-file>
#include <cstdio>

#include "tests/transport/reference_gf.h"
#include "transport/fec.h"

using namespace Veltrix;

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    FILE* f = std::fopen(argv[1], "wb");
    if (!f) return 1;
    int n = 0;
    for (const auto& c : testing::kVectorCases) {
        auto data = testing::SeededBytes(static_cast<uint32_t>(++n), static_cast<std::size_t>(c.d) * kFecBlockBytes);
        std::vector<uint8_t> rec(static_cast<std::size_t>(c.p) * kFecBlockBytes);
        if (FecEncode(data.data(), c.d, c.p, rec.data()) != 0) return 1;
        std::fwrite(rec.data(), 1, rec.size(), f);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}
