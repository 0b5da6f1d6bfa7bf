// Saves an RGBA image as a PNG file (libpng), for `vx-host setup --qr-png` and the tests.
#pragma once

#include <filesystem>

#include "ui/qr_code.h"

namespace Veltrix {

// Writes the image whole through a temporary file and a rename; false on any failure.
bool WriteRgbaPng(const std::filesystem::path& path, const RgbaImage& image);

}  // namespace Veltrix
