#include "vx-phone/picture_planes.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>

namespace Veltrix::phone {

bool CopyI420(const DecodedPicture& picture, I420Picture* out) {
    const auto* f = static_cast<const AVFrame*>(picture.native);
    if (!f || !out || f->width <= 0 || f->height <= 0) return false;
    out->width = f->width;
    out->height = f->height;
    out->bt709 = f->colorspace == AVCOL_SPC_BT709;
    out->fullRange = f->color_range == AVCOL_RANGE_JPEG || f->format == AV_PIX_FMT_YUVJ420P;
    const int cw = out->chromaWidth(), ch = out->chromaHeight();
    out->y.resize(static_cast<std::size_t>(f->width) * f->height);
    out->u.resize(static_cast<std::size_t>(cw) * ch);
    out->v.resize(static_cast<std::size_t>(cw) * ch);
    std::uint8_t* dst[3] = {out->y.data(), out->u.data(), out->v.data()};
    const int dstStride[3] = {f->width, cw, cw};
    const auto format = static_cast<AVPixelFormat>(f->format);
    if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) {
        // The usual case: the software decoders' own layout, copied row by row.
        const int rows[3] = {f->height, ch, ch};
        for (int p = 0; p < 3; ++p) {
            for (int r = 0; r < rows[p]; ++r) {
                std::memcpy(dst[p] + static_cast<std::size_t>(r) * dstStride[p],
                            f->data[p] + static_cast<std::size_t>(r) * f->linesize[p], static_cast<std::size_t>(dstStride[p]));
            }
        }
        return true;
    }
    SwsContext* sws = sws_getContext(f->width, f->height, format, f->width, f->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                     nullptr, nullptr, nullptr);
    if (!sws) return false;
    sws_scale(sws, f->data, f->linesize, 0, f->height, dst, dstStride);
    sws_freeContext(sws);
    return true;
}

}  // namespace Veltrix::phone
