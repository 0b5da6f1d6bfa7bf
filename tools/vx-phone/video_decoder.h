// Decodes the stream's Annex-B access units into pictures, one send/receive
// job per codec, and saves a picture as PNG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace Veltrix::phone {

enum class VideoCodec { kUnknown, kH264, kHevc };
const char* VideoCodecName(VideoCodec codec);

// The codec of an Annex-B access unit from its first NAL unit header, or
// kUnknown when the bytes do not start like either.
VideoCodec DetectCodec(const std::uint8_t* data, std::size_t size);

// A decoded picture, valid only during the callback that hands it out.
struct DecodedPicture {
    int width = 0, height = 0;
    const std::uint8_t* luma = nullptr;  // 8-bit Y plane
    int lumaStride = 0;
    std::int64_t tag = 0;                 // what was passed with the access unit
    const void* native = nullptr;         // the decoder's own frame (for SavePng)
};

class VideoDecoder {
public:
    virtual ~VideoDecoder() = default;
    // Decodes one access unit; every picture it completes goes to onPicture.
    // Returns 0, or a negative decoder error (the stream goes on with the next unit).
    virtual int Decode(const std::uint8_t* data, std::size_t size, std::int64_t tag,
                       const std::function<void(const DecodedPicture&)>& onPicture) = 0;
    // Pictures still held by the decoder.
    virtual void Flush(const std::function<void(const DecodedPicture&)>& onPicture) = 0;
    virtual VideoCodec codec() const = 0;
};

// A decoder, or nothing with *error set (codec missing from the library).
std::unique_ptr<VideoDecoder> CreateVideoDecoder(VideoCodec codec, std::string* error);

// Writes the picture as an RGB PNG; false with *error set on failure.
bool SavePng(const DecodedPicture& picture, const std::filesystem::path& path, std::string* error);

// Text of a decoder error code.
std::string DecoderErrorText(int code);

}  // namespace Veltrix::phone
