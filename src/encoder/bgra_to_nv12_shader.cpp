// The compute shader behind both GPU conversions. Its constants and rounding
// are the CPU converter's (nv12_converter.h): a change must be made in both, or
// the phone shows a chroma shift between GPU and CPU frames.
// Wine cannot compile compute shaders; tests/encoder/shader compiles this same
// source with glslang and runs it on Mesa's software Vulkan against the CPU
// converter. glslang's flags there map the registers (t0 -> binding 0, u0 -> 1,
// u1 -> 2): a register change here is one there too.
#include "encoder/media_foundation_encoder.h"

namespace Veltrix {

const char kBgraToNv12Shader[] = R"hlsl(
// BGRA (t0) to NV12: Y at u0 (R8), interleaved UV at u1 (R8G8, half size).
// BT.709 limited range, Q8 fixed point, 2x2 chroma averaging.
Texture2D<float4> srcBGRA : register(t0);
RWTexture2D<unorm float> dstY : register(u0);
RWTexture2D<unorm float2> dstUV : register(u1);

static const int kYR = 47;
static const int kYG = 157;
static const int kYB = 16;
static const int kCbR = -26;
static const int kCbG = -87;
static const int kCbB = 112;
static const int kCrR = 112;
static const int kCrG = -102;
static const int kCrB = -10;
static const int kYOff = 16;
static const int kCOff = 128;

int rgbToY(int r, int g, int b) { return clamp(((kYR * r + kYG * g + kYB * b + 128) >> 8) + kYOff, 0, 255); }
int rgbToU(int r, int g, int b) { return clamp(((kCbR * r + kCbG * g + kCbB * b + 128) >> 8) + kCOff, 0, 255); }
int rgbToV(int r, int g, int b) { return clamp(((kCrR * r + kCrG * g + kCrB * b + 128) >> 8) + kCOff, 0, 255); }

// The view of a B8G8R8A8 texture answers red first: the bytes come back as they were.
int3 Pixel(uint2 p) { return int3(round(srcBGRA.Load(int3(p, 0)).rgb * 255.0)); }

[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
    uint width, height;
    srcBGRA.GetDimensions(width, height);
    uint2 p = id.xy * 2;
    if (p.x + 1 >= width || p.y + 1 >= height) return;
    int3 c00 = Pixel(p);
    int3 c10 = Pixel(p + uint2(1, 0));
    int3 c01 = Pixel(p + uint2(0, 1));
    int3 c11 = Pixel(p + uint2(1, 1));
    dstY[p] = rgbToY(c00.r, c00.g, c00.b) / 255.0;
    dstY[p + uint2(1, 0)] = rgbToY(c10.r, c10.g, c10.b) / 255.0;
    dstY[p + uint2(0, 1)] = rgbToY(c01.r, c01.g, c01.b) / 255.0;
    dstY[p + uint2(1, 1)] = rgbToY(c11.r, c11.g, c11.b) / 255.0;
    int3 s = (c00 + c10 + c01 + c11) >> 2;
    dstUV[id.xy] = float2(rgbToU(s.r, s.g, s.b) / 255.0, rgbToV(s.r, s.g, s.b) / 255.0);
}
)hlsl";

}  // namespace Veltrix
