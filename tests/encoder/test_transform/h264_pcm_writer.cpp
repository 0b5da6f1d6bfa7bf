#include "h264_pcm_writer.h"

#include <algorithm>

namespace Veltrix::testing {
namespace {

class BitWriter {
public:
    void Bit(unsigned b) {
        cur_ = static_cast<uint8_t>((cur_ << 1) | (b & 1));
        if (++n_ == 8) Flush();
    }
    void Bits(uint32_t v, int count) {
        for (int i = count - 1; i >= 0; --i) Bit((v >> i) & 1);
    }
    void Ue(uint32_t v) {
        const uint64_t x = static_cast<uint64_t>(v) + 1;
        int len = 0;
        while ((x >> len) > 1) ++len;
        Bits(0, len);
        Bits(static_cast<uint32_t>(x), len + 1);
    }
    void Se(int32_t v) { Ue(v <= 0 ? static_cast<uint32_t>(-2 * v) : static_cast<uint32_t>(2 * v - 1)); }
    bool Aligned() const { return n_ == 0; }
    void AlignZero() {
        while (n_) Bit(0);
    }
    void Byte(uint8_t b) {  // only when aligned
        bytes_.push_back(b);
    }
    void Trailing() {
        Bit(1);
        AlignZero();
    }
    std::vector<uint8_t>& Bytes() { return bytes_; }

private:
    void Flush() {
        bytes_.push_back(cur_);
        cur_ = 0;
        n_ = 0;
    }
    std::vector<uint8_t> bytes_;
    uint8_t cur_ = 0;
    int n_ = 0;
};

constexpr int kLog2MaxFrameNum = 4;

}  // namespace

void AppendNal(std::vector<uint8_t>& out, uint8_t header, const std::vector<uint8_t>& rbsp) {
    static const uint8_t kStart[] = {0, 0, 0, 1};
    out.insert(out.end(), kStart, kStart + 4);
    out.push_back(header);
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
}

H264PcmWriter::H264PcmWriter(int width, int height)
    : width_(width), height_(height), mbW_((width + 15) / 16), mbH_((height + 15) / 16) {}

std::vector<uint8_t> H264PcmWriter::ParameterSets() const {
    std::vector<uint8_t> out;
    BitWriter s;
    s.Bits(66, 8);    // baseline
    s.Bits(0xC0, 8);  // constraint_set0 and set1: constrained baseline
    s.Bits(51, 8);    // level 5.1: uncompressed pictures need the bit rate
    s.Ue(0);          // seq_parameter_set_id
    s.Ue(kLog2MaxFrameNum - 4);
    s.Ue(2);  // pic_order_cnt_type 2: output order is decoding order
    s.Ue(1);  // max_num_ref_frames
    s.Bit(0);
    s.Ue(static_cast<uint32_t>(mbW_ - 1));
    s.Ue(static_cast<uint32_t>(mbH_ - 1));
    s.Bit(1);  // frame_mbs_only_flag
    s.Bit(1);  // direct_8x8_inference_flag
    const int cropRight = mbW_ * 16 - width_, cropBottom = mbH_ * 16 - height_;
    if (cropRight || cropBottom) {
        s.Bit(1);
        s.Ue(0);
        s.Ue(static_cast<uint32_t>(cropRight / 2));  // chroma units for 4:2:0
        s.Ue(0);
        s.Ue(static_cast<uint32_t>(cropBottom / 2));
    } else {
        s.Bit(0);
    }
    s.Bit(0);  // no VUI
    s.Trailing();
    AppendNal(out, 0x67, s.Bytes());

    BitWriter p;
    p.Ue(0);  // pps id
    p.Ue(0);  // sps id
    p.Bit(0);  // CAVLC
    p.Bit(0);
    p.Ue(0);  // one slice group
    p.Ue(0);
    p.Ue(0);
    p.Bit(0);
    p.Bits(0, 2);
    p.Se(0);
    p.Se(0);
    p.Se(0);
    p.Bit(1);  // deblocking_filter_control_present_flag: the slices switch it off
    p.Bit(0);
    p.Bit(0);
    p.Trailing();
    AppendNal(out, 0x68, p.Bytes());
    return out;
}

std::vector<uint8_t> H264PcmWriter::Encode(const uint8_t* nv12, size_t pitch, bool key) {
    std::vector<uint8_t> out;
    if (key) {
        out = ParameterSets();
        frameNum_ = 0;
    }
    BitWriter w;
    w.Ue(0);  // first_mb_in_slice
    w.Ue(7);  // I, every slice of the picture
    w.Ue(0);  // pps id
    w.Bits(frameNum_, kLog2MaxFrameNum);
    if (key) w.Ue(idrId_++ & 0xFFFF);
    if (key) {
        w.Bit(0);  // no_output_of_prior_pics_flag
        w.Bit(0);  // long_term_reference_flag
    } else {
        w.Bit(0);  // sliding window
    }
    w.Se(0);  // slice_qp_delta
    w.Ue(1);  // disable_deblocking_filter_idc
    const uint8_t* y = nv12;
    const uint8_t* uv = nv12 + pitch * static_cast<size_t>(height_);
    auto Y = [&](int px, int py) {
        return y[static_cast<size_t>(std::min(py, height_ - 1)) * pitch + static_cast<size_t>(std::min(px, width_ - 1))];
    };
    const int cw = (width_ + 1) / 2, ch = (height_ + 1) / 2;
    auto C = [&](int px, int py, int plane) {
        return uv[static_cast<size_t>(std::min(py, ch - 1)) * pitch + 2 * static_cast<size_t>(std::min(px, cw - 1)) +
                  static_cast<size_t>(plane)];
    };
    for (int my = 0; my < mbH_; ++my) {
        for (int mx = 0; mx < mbW_; ++mx) {
            w.Ue(25);  // I_PCM
            w.AlignZero();
            for (int r = 0; r < 16; ++r)
                for (int c = 0; c < 16; ++c) w.Byte(Y(mx * 16 + c, my * 16 + r));
            for (int plane = 0; plane < 2; ++plane)
                for (int r = 0; r < 8; ++r)
                    for (int c = 0; c < 8; ++c) w.Byte(C(mx * 8 + c, my * 8 + r, plane));
        }
    }
    w.Trailing();
    AppendNal(out, key ? 0x65 : 0x21, w.Bytes());
    frameNum_ = (frameNum_ + 1) % (1u << kLog2MaxFrameNum);
    return out;
}

}  // namespace Veltrix::testing
