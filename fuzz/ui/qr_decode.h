// A QR decoder written elsewhere, to read our symbols back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ui/qr_code.h"

namespace Veltrix::fuzzing {

// Every payload found in the image; nothing where no decoder is linked (Windows).
std::optional<std::vector<std::string>> DecodeQr(const RgbaImage& image);

}  // namespace Veltrix::fuzzing
