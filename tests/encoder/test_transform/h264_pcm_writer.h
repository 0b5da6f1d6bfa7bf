// A lossless H.264 writer for tests: constrained baseline, every macroblock
// I_PCM, so a decoder gives back the NV12 it was fed byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Veltrix::testing {

class H264PcmWriter {
public:
    // Any size from 16x16; sides that are not multiples of 16 are padded by
    // repeating the last row/column and cropped in the SPS.
    H264PcmWriter(int width, int height);

    int Width() const { return width_; }
    int Height() const { return height_; }

    // SPS and PPS, each with a four-byte start code.
    std::vector<uint8_t> ParameterSets() const;

    // One picture in Annex-B: SPS, PPS and an IDR slice when key, else a
    // non-IDR I slice referring to the previous frame number.
    // nv12: Y plane (width x height, rows of `pitch` bytes) then the
    // interleaved UV plane (height/2 rows of the same pitch).
    std::vector<uint8_t> Encode(const uint8_t* nv12, size_t pitch, bool key);

private:
    int width_, height_, mbW_, mbH_;
    unsigned frameNum_ = 0;
    unsigned idrId_ = 0;
};

// Start code plus emulation prevention over an RBSP.
void AppendNal(std::vector<uint8_t>& out, uint8_t header, const std::vector<uint8_t>& rbsp);

}  // namespace Veltrix::testing
