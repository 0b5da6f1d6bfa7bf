// Our SDK declarations against the x64 layouts the SDK documents
// (sdk/sdk_layout_x64.h, numbers written down from the SDK's headers). The
// header's static_asserts make every x64 build check them; this walks the
// same table at run time, so a Windows build run under Wine reports each row.
#include "sdk/sdk_layout_x64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Row {
    std::string what;
    std::size_t documentedOffset, ourOffset, documentedSize, ourSize;
};

std::vector<Row> Rows() {
    std::vector<Row> rows;
#define VX_ROW(ours, ourField, record, field, offset, bytes)                                       \
    rows.push_back(Row{#record "::" #field, offset, offsetof(ours, ourField), bytes,               \
                       sizeof(static_cast<ours*>(nullptr)->ourField)});
#define VX_SIZE_ROW(ours, record, bytes) rows.push_back(Row{#record, 0, 0, bytes, sizeof(ours)});
    VX_SDK_X64_TRANSMIT_FIELDS(VX_ROW)
    VX_SDK_X64_TRANSMIT_SIZES(VX_SIZE_ROW)
    VX_SDK_X64_CONTROL_SURFACE_FIELDS(VX_ROW)
    VX_SDK_X64_CONTROL_SURFACE_SIZES(VX_SIZE_ROW)
#undef VX_ROW
#undef VX_SIZE_ROW
    return rows;
}

TEST(SdkLayout, EveryDocumentedOffsetAndSizeHolds) {
    ASSERT_EQ(sizeof(void*), 8u) << "the table documents x64";
    const std::vector<Row> rows = Rows();
    EXPECT_GT(rows.size(), 200u);
    for (const Row& r : rows) {
        EXPECT_EQ(r.ourOffset, r.documentedOffset) << r.what;
        EXPECT_EQ(r.ourSize, r.documentedSize) << r.what;
    }
}

TEST(SdkLayout, TableSlotCountsAreTheSdks) {
    using namespace vx_sdk_x64;
    EXPECT_EQ(pr::tmModule::kSize / 8, 19u);
    EXPECT_EQ(pr::PlugUtilFuncs::getSPBasicSuite / 8, 7u);  // the eighth slot
    EXPECT_EQ(pr::PrSDKPPixSuite::GetPixelFormat / 8, 5u);  // the sixth, after GetPixelAspectRatio
    EXPECT_EQ(pr::PrSDKPlayModuleAudioSuite::GetNextAudioBuffer / 8, 3u);  // the fourth
    EXPECT_EQ(cs::ADOBESDK_ControlSurfaceSuite2::kSize / 8, 8u);
    EXPECT_EQ(cs::ADOBESDK_ControlSurfaceHostTransportSuite1::JogDial / 8, 15u);
    EXPECT_EQ(cs::ADOBESDK_ControlSurfaceHostTransportSuite1::GetPlayState / 8, 19u);
    EXPECT_EQ(cs::ADOBESDK_StringSuite1::AllocateFromUTF16 / 8, 3u);
}

TEST(SdkLayout, ConstantsAreTheSdks) {
    // MAKE_PIXEL_FORMAT_FOURCC puts the first character in the lowest byte.
    EXPECT_EQ(kTxPixelFormatBgra, 0x61726762u);
    const unsigned char bytes[4] = {'b', 'g', 'r', 'a'};
    std::uint32_t little = 0;
    for (int i = 3; i >= 0; --i) little = (little << 8) | bytes[i];
    EXPECT_EQ(kTxPixelFormatBgra, little);
    EXPECT_EQ(kTxPPixAccessRead, 0);
    EXPECT_EQ(kTxPPixAccessWrite, 1);
    EXPECT_EQ(kTxPlayModePlaying, 1);
    EXPECT_EQ(kTxFieldsAny, 4);
    EXPECT_EQ(kTxResultErrorUnsupported, -4);
    EXPECT_EQ(kTxInterfaceVersion, 4);
    EXPECT_EQ(kTxPiSuitesVersion, 9);
    EXPECT_EQ(kCsErrBadParameter, 0x5061726D);
    EXPECT_EQ(kCsErrStringBufferTooSmall, 0x73627473);
    EXPECT_EQ(sizeof(CsBool), 1u);  // ADOBESDK_Boolean
    EXPECT_EQ(sizeof(TxBool), 4u);  // prBool
}

}  // namespace
