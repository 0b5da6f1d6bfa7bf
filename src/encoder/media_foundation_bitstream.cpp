// Bit-stream helpers of the Media Foundation encoder: result names, parameter sets
// from a sequence header, key-frame scan, length-prefixed to Annex-B.
#include "encoder/media_foundation_encoder_internal.h"

namespace Veltrix {

using namespace media;
using namespace mf_detail;

namespace {

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

}  // namespace

std::string HrText(HResult hr) {
    static const struct {
        uint32_t code;
        const char* name;
    } kNames[] = {
        {0, "S_OK"},
        {0x80004001u, "E_NOTIMPL"},
        {0x80004002u, "E_NOINTERFACE"},
        {0x80004005u, "E_FAIL"},
        {0x80070005u, "E_ACCESSDENIED"},
        {0x8007000Eu, "E_OUTOFMEMORY"},
        {0x80070057u, "E_INVALIDARG"},
        {0xC00D36B3u, "MF_E_INVALIDSTREAMNUMBER"},
        {0xC00D36B4u, "MF_E_INVALIDMEDIATYPE"},
        {0xC00D36B9u, "MF_E_NO_MORE_TYPES"},
        {0xC00D36E6u, "MF_E_ATTRIBUTENOTFOUND"},
        {0xC00D6D60u, "MF_E_TRANSFORM_TYPE_NOT_SET"},
        {0xC00D6D61u, "MF_E_TRANSFORM_STREAM_CHANGE"},
        {0xC00D6D62u, "MF_E_TRANSFORM_INPUT_REMAINING"},
        {0xC00D6D72u, "MF_E_TRANSFORM_NEED_MORE_INPUT"},
        {0xC00D6D76u, "MF_E_UNSUPPORTED_D3D_TYPE"},
        {0xC00D6D77u, "MF_E_TRANSFORM_ASYNC_LOCKED"},
    };
    char buf[96];
    for (auto& n : kNames) {
        if (n.code == static_cast<uint32_t>(hr)) {
            std::snprintf(buf, sizeof buf, "%s (0x%08lx)", n.name, U(hr));
            return buf;
        }
    }
    std::snprintf(buf, sizeof buf, "0x%08lx", U(hr));
    return buf;
}

void ExtractParameterSets(const uint8_t* h, size_t n, int codec, std::vector<uint8_t>& out) {
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    auto entry = [&](size_t& pos) -> bool {
        if (pos + 2 > n) return false;
        size_t len = (size_t(h[pos]) << 8) | h[pos + 1];
        if (pos + 2 + len > n) return false;
        out.insert(out.end(), kStart, kStart + 4);
        out.insert(out.end(), h + pos + 2, h + pos + 2 + len);
        pos += 2 + len;
        return true;
    };
    if (!h) return;
    if (codec == kCodecH264) {
        if (n < 7) return;
        size_t pos = 6;
        int sps = h[5] & 0x1F;
        for (int i = 0; i < sps; ++i)
            if (!entry(pos)) return;
        if (pos >= n) return;
        int pps = h[pos++];
        for (int i = 0; i < pps; ++i)
            if (!entry(pos)) return;
        return;
    }
    if (n < 23) return;
    int arrays = h[22];
    size_t pos = 23;
    for (int a = 0; a < arrays; ++a) {
        if (pos + 3 > n) return;
        int count = (h[pos + 1] << 8) | h[pos + 2];
        pos += 3;
        for (int i = 0; i < count; ++i)
            if (!entry(pos)) return;
    }
}

bool ContainsRandomAccessNal(const uint8_t* d, size_t n, bool hevc) {
    for (size_t i = 0; i + 4 <= n; ++i) {
        // A start code begins with a zero byte: jump to the next one (most of an
        // access unit is entropy-coded data with few zeros).
        const void* zero = std::memchr(d + i, 0, n - 3 - i);
        if (!zero) break;
        i = static_cast<size_t>(static_cast<const uint8_t*>(zero) - d);
        size_t header = 0;
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            header = i + 3;
        } else if (i + 5 <= n && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 0 && d[i + 3] == 1) {
            header = i + 4;
        } else {
            continue;
        }
        if (header >= n) break;
        const uint8_t b = d[header];
        if (!hevc && (b & 0x1F) == 5) return true;
        if (hevc) {
            int type = (b >> 1) & 0x3F;
            if (type >= 16 && type <= 21) return true;
        }
        i = header - 1;
    }
    return false;
}

void AssembleAnnexB(const uint8_t* d, size_t n, std::vector<uint8_t>& out) {
    if ((n >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) ||
        (n >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1)) {
        out.insert(out.end(), d, d + n);
        return;
    }
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    size_t pos = 0;
    while (n - pos >= 4) {
        uint32_t len = Be32(d + pos);
        if (len == 0 || len > n - pos - 4) break;
        out.insert(out.end(), kStart, kStart + 4);
        out.insert(out.end(), d + pos + 4, d + pos + 4 + len);
        pos += 4 + len;
    }
}
}  // namespace Veltrix
