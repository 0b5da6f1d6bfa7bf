// Builds without FFmpeg's libraries (the Windows cross build) have no file
// reader: --source says so instead of playing something else.
#include "vx-host/media_source.h"

namespace Veltrix::host {

std::unique_ptr<MediaSource> OpenMediaSource(const std::string& path, const MediaSourceOptions&, std::string* error) {
    if (error) {
        *error = "cannot play '" + path +
                 "': this build of vx-host has no video file reader (--source needs FFmpeg's libraries; use the "
                 "Linux build)";
    }
    return nullptr;
}

}  // namespace Veltrix::host
