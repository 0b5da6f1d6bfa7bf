// Arbitrary payloads through the QR encoder: a payload that fits gives a symbol
// of the smallest version whose pixels a decoder written elsewhere (zbar) reads
// back byte for byte; one that does not fit gives the empty code.
// Input: the payload.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qr_decode.h"
#include "ui/qr_code.h"

namespace {
// Byte mode at level H, with room kept for the terminator, holds 1272 bytes in version 40.
constexpr std::size_t kLargestPayload = 1272;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Veltrix;
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const QrCode code = EncodeQrText(payload);
    if (size > kLargestPayload) {
        if (code.size != 0 || !code.modules.empty()) __builtin_trap();
        return 0;
    }
    if (code.version < 1 || code.version > 40 || code.size != 4 * code.version + 17) __builtin_trap();
    const std::size_t cells = static_cast<std::size_t>(code.size) * code.size;
    if (code.modules.size() != cells || code.functionFlags.size() != cells) __builtin_trap();
    // Smallest version: the payload does not fit the one below.
    if (code.version > 1 && size > 0 && EncodeQrText(payload.substr(0, size - 1)).version > code.version) __builtin_trap();
    const RgbaImage image = RenderQrToRgba(code, (code.size + 4) * 3);
    if (image.width != (code.size + 4) * 3) __builtin_trap();
    if (const auto found = fuzzing::DecodeQr(image)) {
        if (found->size() != 1 || (*found)[0] != payload) __builtin_trap();
    }
    return 0;
}
