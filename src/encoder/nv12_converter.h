// BGRA to NV12 (BT.709 limited range, Q8 fixed point, 2x2 chroma averaging)
// and the nearest-neighbour resize used when a frame arrives at another size.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace Veltrix {

namespace bt709 {
inline constexpr int kYR = 47, kYG = 157, kYB = 16;
inline constexpr int kCbR = -26, kCbG = -87, kCbB = 112;
inline constexpr int kCrR = 112, kCrG = -102, kCrB = -10;
inline constexpr int kYOff = 16, kCOff = 128;

inline constexpr int Y(int r, int g, int b) { return ((kYR * r + kYG * g + kYB * b + 128) >> 8) + kYOff; }
inline constexpr int U(int r, int g, int b) { return ((kCbR * r + kCbG * g + kCbB * b + 128) >> 8) + kCOff; }
inline constexpr int V(int r, int g, int b) { return ((kCrR * r + kCrG * g + kCrB * b + 128) >> 8) + kCOff; }
}  // namespace bt709

// Y plane (pitch width) and interleaved UV plane (pitch width, height / 2 rows).
// A trailing odd row or column gets no chroma.
void ConvertBgraToNv12Cpu(const uint8_t* bgra, int pitch, uint8_t* y, uint8_t* uv, int width, int height);
// The same without the run-time choice of CPU features (the baseline build's code).
void ConvertBgraToNv12Portable(const uint8_t* bgra, int pitch, uint8_t* y, uint8_t* uv, int width, int height);

// The same conversion with the rows split between the calling thread and one
// helper thread. The conversion is bound by arithmetic, not memory, and while it
// runs the encoder's own threads are waiting for the frame, so a second core
// nearly halves it. Small frames, and machines with one core, stay on the caller.
// One Convert at a time per object (the encoder calls it under its lock).
class Nv12Converter {
public:
    Nv12Converter() = default;
    ~Nv12Converter();
    Nv12Converter(const Nv12Converter&) = delete;
    Nv12Converter& operator=(const Nv12Converter&) = delete;

    void Convert(const uint8_t* bgra, int pitch, uint8_t* y, uint8_t* uv, int width, int height);

private:
    struct Job {
        const uint8_t* bgra = nullptr;
        int pitch = 0;
        uint8_t* y = nullptr;
        uint8_t* uv = nullptr;
        int width = 0, height = 0;
    };
    void Run();

    std::mutex lock_;
    std::condition_variable wake_, done_;
    Job job_;
    bool pending_ = false, finished_ = false, quit_ = false;
    std::thread helper_;
};

// Nearest-neighbour resize of whole 4-byte pixels, sampling at pixel centres.
void ScaleNearest(const uint8_t* src, int srcPitch, int srcWidth, int srcHeight, uint8_t* dst,
                  int dstPitch, int dstWidth, int dstHeight);

}  // namespace Veltrix
