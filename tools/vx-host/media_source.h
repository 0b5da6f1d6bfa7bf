// A video file as the host's source: pictures by timeline time and audio by
// the sample, both looping, converted to what the host hands the plug-in
// (BGRA at the chosen size; planar float at the host's rate and channels).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Veltrix::host {

class MediaSource {
public:
    virtual ~MediaSource() = default;

    // Picture size delivered by VideoAt.
    virtual int width() const = 0;
    virtual int height() const = 0;
    // Whether the file has an audio stream (else ReadAudio gives silence).
    virtual bool hasAudio() const = 0;

    // Writes the picture showing at `seconds` of timeline (from the file's
    // start, looping) into bgra (rowBytes >= 4 * width). Pictures only move
    // forward: a time before the last asked for gives the last picture.
    // False with *error set when the file stops decoding.
    virtual bool VideoAt(double seconds, std::uint8_t* bgra, int rowBytes, std::string* error) = 0;

    // The next `count` samples of each of `channels` channels, looping.
    // Callable from another thread than VideoAt.
    virtual void ReadAudio(float* const* buffers, int channels, std::uint32_t count) = 0;
};

struct MediaSourceOptions {
    int width = 0;   // 0: the file's own size
    int height = 0;
    int sampleRate = 48000;
    int channels = 2;
};

// Opens the file and decodes its first picture (and first audio, if any), so
// a file that would fail does so here. Nothing with *error set on failure.
std::unique_ptr<MediaSource> OpenMediaSource(const std::string& path, const MediaSourceOptions& options,
                                             std::string* error);

}  // namespace Veltrix::host
