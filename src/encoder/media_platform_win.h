// Windows-only pieces of the media-platform seam that tests reach directly.
#pragma once

#include <memory>

#include "encoder/media_platform.h"

namespace Veltrix::media {

// The seam's event generator over an IMFMediaEventGenerator (passed as its
// IUnknown pointer; a reference is taken). Null when it is not one.
std::shared_ptr<EventGenerator> WrapEventGenerator(void* unknown);

}  // namespace Veltrix::media
