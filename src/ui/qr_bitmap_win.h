// The QR code as a Win32 bitmap for a static control.
#pragma once

#include <windows.h>

#include "ui/qr_code.h"

namespace Veltrix {

// A new top-down 32-bit DIB section of pixels x pixels with the same pixels as
// RenderQrToRgba; null when the code is empty, too large for the pixels, or
// the section cannot be made. The caller deletes it.
HBITMAP RenderQrToBitmap(const QrCode& code, int pixels);

}  // namespace Veltrix
