#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoder/engine_factory.h"
#include "encoder/media_foundation_encoder.h"
#include "support/log.h"
#include "tests/testing/test_env.h"
#include "tests/encoder/mediafoundation/fake_media_platform.h"

namespace Veltrix {
namespace {

using namespace media;
using testing::FakeOutput;
using testing::FakePlatform;
using testing::FakeTransformScript;

struct Delivered {
    std::vector<uint8_t> bytes;
    bool key;
    uint64_t ts;
};

class MfLogic : public ::testing::Test {
protected:
    std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
    testing::ScopedTestDirs dirs;
    std::vector<Delivered> out;

    std::unique_ptr<MediaFoundationEncoder> Make(bool async = false, const char* noFrameCap = "0") {
        MediaFoundationEncoderOptions o;
        o.platform = platform;
        o.noFrameCapEnv = noFrameCap;
        o.asyncHwEncodersEnabled = [async] { return async; };
        auto e = std::make_unique<MediaFoundationEncoder>(std::move(o));
        e->SetOutputCallback([this](const uint8_t* d, size_t n, bool k, uint64_t ts) {
            out.push_back({std::vector<uint8_t>(d, d + n), k, ts});
        });
        return e;
    }
    std::string LogText() { return testing::ReadFileText(LogFilePath()); }
    void EncodeFrames(MediaFoundationEncoder& e, int n, int w = 64, int h = 32) {
        std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4, 0x80);
        for (int i = 0; i < n; ++i) e.Encode(bgra.data(), w, h, w * 4, 0);
    }
};

FakeTransformScript Sw(Subtype codec = Subtype::H264, const char* name = "SW Encoder") {
    FakeTransformScript s;
    s.name = name;
    s.output = codec;
    return s;
}
FakeTransformScript Hw(const char* name, const char* vendor, Subtype codec = Subtype::H264) {
    FakeTransformScript s = Sw(codec, name);
    s.vendorId = vendor;
    return s;
}

TEST(MfHelpers, HrTextNamesKnownCodes) {
    EXPECT_EQ(HrText(0), "S_OK (0x00000000)");
    EXPECT_EQ(HrText(kMF_E_TRANSFORM_STREAM_CHANGE), "MF_E_TRANSFORM_STREAM_CHANGE (0xc00d6d61)");
    EXPECT_EQ(HrText(Hr(0x80001234u)), "0x80001234");
}

TEST(MfHelpers, ParameterSetsFromRecords) {
    // avcC with one 10-byte SPS and one 4-byte PPS: 4+10 + 4+4 = 22 bytes.
    std::vector<uint8_t> avcc = {1, 100, 0, 40, 0xFF, 0xE1, 0, 10, 0x67, 1, 2, 3, 4, 5, 6, 7, 8, 9,
                                 1, 0, 4, 0x68, 0xA, 0xB, 0xC};
    std::vector<uint8_t> ps;
    ExtractParameterSets(avcc.data(), avcc.size(), kCodecH264, ps);
    ASSERT_EQ(ps.size(), 22u);
    EXPECT_EQ(std::vector<uint8_t>(ps.begin(), ps.begin() + 5), (std::vector<uint8_t>{0, 0, 0, 1, 0x67}));
    EXPECT_EQ(std::vector<uint8_t>(ps.begin() + 14, ps.begin() + 19), (std::vector<uint8_t>{0, 0, 0, 1, 0x68}));
    // A truncated PPS keeps the SPS.
    ps.clear();
    ExtractParameterSets(avcc.data(), avcc.size() - 2, kCodecH264, ps);
    EXPECT_EQ(ps.size(), 14u);
    // hvcC: 23-byte header, one array with two NAL units.
    std::vector<uint8_t> hvcc(22, 0);
    hvcc.push_back(1);
    hvcc.insert(hvcc.end(), {0xA0, 0, 2, 0, 2, 0x40, 0x01, 0, 1, 0x42});
    ps.clear();
    ExtractParameterSets(hvcc.data(), hvcc.size(), kCodecHevc, ps);
    EXPECT_EQ(ps, (std::vector<uint8_t>{0, 0, 0, 1, 0x40, 0x01, 0, 0, 0, 1, 0x42}));
    ps.clear();
    ExtractParameterSets(hvcc.data(), 20, kCodecHevc, ps);
    EXPECT_TRUE(ps.empty());
}

TEST(MfHelpers, KeyframeScanAndAnnexB) {
    const uint8_t h264Idr[] = {0xAA, 0, 0, 1, 0x65, 0x88, 0x00};
    const uint8_t h264P[] = {0, 0, 0, 1, 0x41, 0x9A, 0x00};
    const uint8_t hevcIdr[] = {0, 0, 0, 1, 0x26, 0x01, 0xAF};
    const uint8_t hevcTrail[] = {0, 0, 0, 1, 0x02, 0x01, 0xAF};
    EXPECT_TRUE(ContainsRandomAccessNal(h264Idr, sizeof h264Idr, false));
    EXPECT_FALSE(ContainsRandomAccessNal(h264P, sizeof h264P, false));
    EXPECT_TRUE(ContainsRandomAccessNal(hevcIdr, sizeof hevcIdr, true));
    EXPECT_FALSE(ContainsRandomAccessNal(hevcTrail, sizeof hevcTrail, true));

    std::vector<uint8_t> o;
    const uint8_t lp[] = {0, 0, 0, 2, 0xAA, 0xBB};
    AssembleAnnexB(lp, sizeof lp, o);
    EXPECT_EQ(o, (std::vector<uint8_t>{0, 0, 0, 1, 0xAA, 0xBB}));
    // A length that runs past the end stops the conversion.
    o.clear();
    const uint8_t bad[] = {0, 0, 0, 1 + 0, 0xAA, 0, 0, 0, 9, 0xBB};
    AssembleAnnexB(bad + 1, sizeof bad - 1, o);  // 00 00 01 AA...: Annex-B, copied
    EXPECT_EQ(o.size(), sizeof bad - 1);
    o.clear();
    const uint8_t lp2[] = {0, 0, 0, 1, 0xAA, 0, 0, 0, 9, 0xBB};
    std::vector<uint8_t> lpv(lp2, lp2 + sizeof lp2);
    lpv[3] = 1;
    lpv[0] = 0;
    // starts with 00 00 00 01: Annex-B by the rule, copied unchanged
    AssembleAnnexB(lpv.data(), lpv.size(), o);
    EXPECT_EQ(o, lpv);
    o.clear();
    const uint8_t lp3[] = {0, 0, 0, 2, 0xAA, 0xBB, 0, 0, 0, 9, 0xCC};
    AssembleAnnexB(lp3, sizeof lp3, o);
    EXPECT_EQ(o, (std::vector<uint8_t>{0, 0, 0, 1, 0xAA, 0xBB}));
}

TEST_F(MfLogic, ConfigureValidatesAndDefaultsBitrate) {
    platform->Add(Sw());
    auto e = Make();
    e->SetCodec(kCodecH264);
    EXPECT_FALSE(e->Configure(15, 1080, 0, 30));
    EXPECT_FALSE(e->Configure(1920, 1080, 0, 0));
    EXPECT_FALSE(e->Ready());
    EXPECT_NE(LogText().find("Configure: invalid 15x1080@30"), std::string::npos);
    ASSERT_TRUE(e->Configure(1920, 1080, 0, 30));
    EXPECT_TRUE(e->Ready());
    EXPECT_EQ(e->Bitrate(), 15'000'000u);
    EXPECT_EQ(e->Description(), "SW Encoder [SW, 1920x1080 H.264 @ 30 fps, 15 Mbps]");
    EXPECT_EQ(MediaFoundationEncoder::CurrentEncoderDescription(), e->Description());
    auto& log = *platform->transforms[0].log;
    // Output type before input type; input type walks to the NV12 entry.
    ASSERT_EQ(log.outputTypes.size(), 1u);
    EXPECT_EQ(log.outputTypes[0].profile, kProfileH264High);
    EXPECT_EQ(log.outputTypes[0].avgBitrate, 15'000'000u);
    ASSERT_EQ(log.inputTypes.size(), 1u);
    EXPECT_EQ(log.inputTypes[0].subtype, Subtype::Nv12);
    EXPECT_EQ(log.inputTypes[0].width, 1920u);
    EXPECT_TRUE(log.Has(CodecProperty::MaxBitRate, 19'500'000));
    EXPECT_TRUE(log.Has(CodecProperty::BPictureCount, 0));
    EXPECT_TRUE(log.Has(CodecProperty::Quality, 75));
    e->Teardown();
    EXPECT_FALSE(e->Ready());
    EXPECT_EQ(e->Width(), 0);
    EXPECT_EQ(e->Fps(), 30);
    EXPECT_EQ(MediaFoundationEncoder::CurrentEncoderDescription(), "");
    e->Teardown();  // repeatable
}

TEST_F(MfLogic, EngineFilterRoundsAndCategories) {
    platform->Add(Hw("NVIDIA H.264 Encoder MFT", "VEN_10DE"));
    platform->Add(Hw("Intel Quick Sync H.264 Encoder MFT", "VEN_8086"));
    platform->Add(Sw(Subtype::H264, "H264 Encoder MFT"));
    auto e = Make();
    e->SetCodec(kCodecH264);
    ASSERT_TRUE(e->Configure(1280, 720, 8'000'000, 30));
    EXPECT_EQ(e->Description().rfind("NVIDIA H.264 Encoder MFT [SW", 0), 0u) << e->Description();

    e->SetEngine("INTEL");
    EXPECT_EQ(e->Engine(), "intel");
    ASSERT_TRUE(e->Configure(1280, 720, 8'000'000, 30));
    EXPECT_EQ(e->Description().rfind("Intel Quick Sync", 0), 0u);
    EXPECT_NE(LogText().find("(engine-filtered)"), std::string::npos);

    e->SetEngine("software");
    ASSERT_TRUE(e->Configure(1280, 720, 8'000'000, 30));
    EXPECT_EQ(e->Description().rfind("H264 Encoder MFT [SW", 0), 0u);

    // No AMD: round 1 finds nothing, round 2 takes the best-ranked.
    e->SetEngine("amd");
    ASSERT_TRUE(e->Configure(1280, 720, 8'000'000, 30));
    EXPECT_EQ(e->Description().rfind("NVIDIA", 0), 0u);
    EXPECT_NE(LogText().find("engine 'amd' produced no usable MFT — relaxing to best-ranked"), std::string::npos);

    // "auto" never runs a second round: three enumerations for one Configure.
    e->SetEngine("");
    EXPECT_EQ(e->Engine(), "auto");
    platform->transforms.clear();
    platform->enumCalls.clear();
    EXPECT_FALSE(e->Configure(1280, 720, 8'000'000, 30));
    EXPECT_EQ(platform->enumCalls.size(), 3u);
    EXPECT_EQ(platform->enumCalls[0], kEnumHardware | kEnumSyncMft | kEnumSortAndFilter);
    EXPECT_EQ(platform->enumCalls[1], kEnumHardware | kEnumAsyncMft | kEnumSortAndFilter);
    EXPECT_EQ(platform->enumCalls[2], kEnumSyncMft | kEnumSortAndFilter);
    EXPECT_NE(LogText().find("No encoder MFT accepted our media types (codec=H264 1280x720@30 8000000 bps)"),
              std::string::npos);
    EXPECT_EQ(e->Description(), "");
}

TEST_F(MfLogic, CandidateFailuresMoveOn) {
    auto s1 = Hw("Broken", "VEN_10DE");
    s1.activateFails = true;
    auto s2 = Hw("Picky", "VEN_10DE");
    s2.outputTypeResult = kMF_E_INVALIDMEDIATYPE;
    auto s3 = Hw("Async", "VEN_8086");
    s3.async = true;
    s3.category = kEnumAsyncMft;
    auto s4 = Sw(Subtype::H264, "NoInput");
    s4.inputTypeResult = kMF_E_INVALIDMEDIATYPE;
    s4.offersNv12 = false;
    platform->Add(s1);
    platform->Add(s2);
    platform->Add(s3);
    platform->Add(s4);
    platform->Add(Sw(Subtype::H264, "Last"));
    auto e = Make(false);
    e->SetCodec(kCodecH264);
    ASSERT_TRUE(e->Configure(640, 480, 1'000'000, 30));
    EXPECT_EQ(e->Description().rfind("Last [SW", 0), 0u);
    const std::string log = LogText();
    EXPECT_NE(log.find("  [HW-sync] activate \"Broken\" failed E_NOINTERFACE (0x80004002)"), std::string::npos);
    EXPECT_NE(log.find("  [HW-sync] SetOutputType rejected MF_E_INVALIDMEDIATYPE"), std::string::npos);
    EXPECT_NE(log.find("  [HW-async] async MFT — skipping (Setup → \"Use NVIDIA/Intel HW HEVC encoders\" is OFF)"),
              std::string::npos);
    EXPECT_NE(log.find("  [SW] SetInputType rejected"), std::string::npos);
    // The rejected input type was built from scratch when no NV12 type was offered.
    EXPECT_EQ(platform->transforms[3].log->inputTypes.at(0).subtype, Subtype::Nv12);
}

TEST_F(MfLogic, AdapterRanking) {
    platform->adapters = {{0, 0x1414, 0, true, "Basic Render"},
                          {1, 0x8086, 2ull << 30, false, "Intel Arc"},
                          {2, 0x10DE, 1ull << 30, false, "NVIDIA RTX"}};
    platform->deviceWorks = true;
    platform->Add(Sw());
    auto e = Make();
    e->SetCodec(kCodecH264);
    ASSERT_TRUE(e->Configure(640, 480, 0, 30));
    ASSERT_FALSE(platform->deviceRequests.empty());
    EXPECT_EQ(platform->deviceRequests.back().description, "NVIDIA RTX");
    e->SetEngine("intel");
    ASSERT_TRUE(e->Configure(640, 480, 0, 30));
    EXPECT_EQ(platform->deviceRequests.back().description, "Intel Arc");
    EXPECT_NE(LogText().find("D3D11 device on adapter: \"Intel Arc\""), std::string::npos);
    // Same vendor class: more dedicated memory wins, ties keep the earlier one.
    platform->adapters = {{0, 0x1002, 1ull << 30, false, "A"}, {1, 0x1002, 4ull << 30, false, "B"},
                          {2, 0x1002, 4ull << 30, false, "C"}};
    e->SetEngine("auto");
    ASSERT_TRUE(e->Configure(640, 480, 0, 30));
    EXPECT_EQ(platform->deviceRequests.back().description, "B");
    // The transform that takes the device manager is a GPU transform.
    platform->transforms[0].script->acceptsD3DManager = true;
    ASSERT_TRUE(e->Configure(640, 480, 0, 30));
    EXPECT_NE(e->Description().find("[HW,"), std::string::npos);
}

TEST_F(MfLogic, SoftwareHevcCap) {
    platform->Add(Sw(Subtype::Hevc, "HEVC SW"));
    auto e = Make();
    EXPECT_FALSE(e->Configure(3840, 2160, 0, 30));
    EXPECT_NE(LogText().find("Refusing 3840x2160 on SW HEVC MFT \"HEVC SW\" — above 6.0 MPx cap"), std::string::npos);
    EXPECT_FALSE(e->Ready());
    EXPECT_TRUE(e->Configure(2560, 1440, 0, 30));
}

TEST_F(MfLogic, CodecSettingsByMode) {
    platform->Add(Sw());
    auto e = Make();
    e->SetCodec(kCodecH264);
    auto& log = *platform->transforms[0].log;
    ASSERT_TRUE(e->Configure(640, 480, 10'000'000, 30));
    EXPECT_EQ(log.Last(CodecProperty::RateControlMode), kRateControlModeCbr);
    EXPECT_EQ(log.Last(CodecProperty::MaxBitRate), 13'000'000u);
    EXPECT_EQ(log.Last(CodecProperty::LowLatencyMode), 1u);
    EXPECT_EQ(log.Last(CodecProperty::RealTime), 1u);

    // Peak in Bitrate mode is not stored.
    e->SetPeakBitrate(20'000'000);
    EXPECT_EQ(e->PeakBitrate(), 0u);
    e->SetRateControl(kRateControlVbr, 0.75f);
    EXPECT_EQ(log.Last(CodecProperty::RateControlMode), kRateControlModePeakConstrainedVbr);
    e->SetBitrate(8'000'000);
    EXPECT_EQ(log.Last(CodecProperty::MeanBitRate), 8'000'000u);
    e->SetPeakBitrate(5'000'000);
    EXPECT_EQ(e->PeakBitrate(), 8'000'000u);
    EXPECT_NE(LogText().find("SetPeakBitrate: max=8000000 bps (mean=8000000, ratio=1.00)"), std::string::npos);
    // Peak used as maximum once it is at least the bitrate.
    e->SetPeakBitrate(12'000'000);
    e->SetGopSize(5);
    EXPECT_EQ(log.Last(CodecProperty::MaxBitRate), 12'000'000u);
    EXPECT_EQ(log.Last(CodecProperty::GopSize), 5u);

    // Quality mode: 0.999 -> 99; tiny changes ignored.
    size_t before = log.outputTypes.size();
    e->SetRateControl(kRateControlQuality, 0.999f);
    EXPECT_EQ(log.Last(CodecProperty::RateControlMode), kRateControlModeQuality);
    EXPECT_EQ(log.Last(CodecProperty::Quality), 99u);
    EXPECT_EQ(log.outputTypes.size(), before + 1);
    e->SetRateControl(kRateControlQuality, 0.995f);
    EXPECT_EQ(log.outputTypes.size(), before + 1);
    e->SetRateControl(kRateControlQuality, 0.994f);
    EXPECT_EQ(log.outputTypes.size(), before + 2);
    e->SetQualityMode(0.5f);
    EXPECT_EQ(log.Last(CodecProperty::Quality), 50u);
    EXPECT_NE(LogText().find("SetQualityMode q=0.50 → CODECAPI_AVEncCommonQuality=50 hr=0x00000000"),
              std::string::npos);

    // Held to the frame-size cap: 340,000 bytes at 30 fps allow 81.6 Mbit/s.
    e->SetHrdBufferBits(1, 3'000'000'000LL);
    EXPECT_EQ(log.properties[log.properties.size() - 2].second, 65'280'000u);
    EXPECT_EQ(log.Last(CodecProperty::MaxBitRate), 81'600'000u);
    size_t n = log.properties.size();
    e->SetHrdBufferBits(0, 5);
    e->SetBitrate(0);
    e->SetBitrate(8'000'000);  // unchanged
    EXPECT_EQ(log.properties.size(), n);
}

// The frame-size cap bounds what the transform is asked for; the phone still
// sees the bitrate it set. VX_NO_FRAME_CAP=1 gives the rates as asked.
TEST_F(MfLogic, FrameSizeCapBoundsRatesAndBuffer) {
    platform->Add(Sw());
    auto e = Make();
    e->SetCodec(kCodecH264);
    auto& log = *platform->transforms[0].log;
    ASSERT_TRUE(e->Configure(1280, 720, 150'000'000, 30));
    EXPECT_EQ(e->Bitrate(), 150'000'000u);
    EXPECT_EQ(log.outputTypes.back().avgBitrate, 65'280'000u);
    EXPECT_EQ(log.Last(CodecProperty::MeanBitRate), 65'280'000u);
    EXPECT_EQ(log.Last(CodecProperty::MaxBitRate), 81'600'000u);
    EXPECT_EQ(log.Last(CodecProperty::BufferSize), 2'448'000u);  // 90 % of the cap, in bits
    EXPECT_NE(LogText().find("frame-size cap 340000 bytes at 30 fps: mean 65280000 bps (asked 150000000), "
                             "max 81600000 bps, buffer 2448000 bits"),
              std::string::npos);
    // The stream's colour description rides on the output type.
    EXPECT_EQ(log.outputTypes.back().yuvMatrix, kYuvMatrixBt709);
    EXPECT_EQ(log.outputTypes.back().nominalRange, kNominalRange16To235);
    EXPECT_EQ(log.outputTypes.back().primaries, kPrimariesBt709);
    EXPECT_EQ(log.outputTypes.back().transferFunction, kTransferFunction709);
    // Live changes stay under it; a larger cap raises the ceiling at once.
    e->SetBitrate(120'000'000);
    EXPECT_EQ(log.Last(CodecProperty::MeanBitRate), 65'280'000u);
    e->SetFrameSizeCap(1'000'000);
    EXPECT_EQ(log.Last(CodecProperty::MeanBitRate), 120'000'000u);
    EXPECT_EQ(log.Last(CodecProperty::BufferSize), 7'200'000u);
    // Where the rate fits (60 fps), nothing changes but the buffer.
    e->SetFrameSizeCap(340'000);
    ASSERT_TRUE(e->Configure(1280, 720, 100'000'000, 60));
    EXPECT_EQ(log.Last(CodecProperty::MeanBitRate), 100'000'000u);
    EXPECT_EQ(log.Last(CodecProperty::MaxBitRate), 130'000'000u);

    auto off = Make(false, "1");
    off->SetCodec(kCodecH264);
    auto& offLog = *platform->transforms[0].log;
    const size_t before = offLog.properties.size();
    ASSERT_TRUE(off->Configure(1280, 720, 150'000'000, 30));
    EXPECT_EQ(offLog.Last(CodecProperty::MeanBitRate), 150'000'000u);
    EXPECT_EQ(offLog.Last(CodecProperty::MaxBitRate), 195'000'000u);
    for (size_t i = before; i < offLog.properties.size(); ++i)
        EXPECT_NE(offLog.properties[i].first, CodecProperty::BufferSize);
    EXPECT_NE(LogText().find("frame-size cap off (VX_NO_FRAME_CAP=1): mean 150000000 bps, max 195000000 bps"),
              std::string::npos);
}

TEST_F(MfLogic, RebuildingSettersAndClamps) {
    platform->Add(Sw());
    platform->Add(Sw(Subtype::Hevc, "HEVC SW"));
    auto e = Make();
    e->SetGopSize(0);
    EXPECT_EQ(e->GopSize(), 1);
    e->SetCodec(kCodecH264);
    ASSERT_TRUE(e->Configure(640, 480, 0, 30));
    auto& log = *platform->transforms[0].log;
    size_t configures = log.outputTypes.size();
    e->SetGopSize(1);
    EXPECT_EQ(log.outputTypes.size(), configures);
    e->SetCodec(kCodecHevc);
    EXPECT_TRUE(e->Ready());
    EXPECT_NE(e->Description().find("HEVC"), std::string::npos);
    EXPECT_EQ(e->Width(), 640);
    e->SetFrameSizeCap(50);
    EXPECT_EQ(e->FrameSizeCap(), 100'000u);
    e->SetFrameSizeCap(30'000'000);
    EXPECT_EQ(e->FrameSizeCap(), 20'000'000u);
}

TEST_F(MfLogic, KeyframeCadenceAndTimestamps) {
    platform->Add(Sw());
    auto e = Make();
    e->SetCodec(kCodecH264);
    e->SetGopSize(5);
    ASSERT_TRUE(e->Configure(64, 32, 0, 30));
    EncodeFrames(*e, 14);
    auto& log = *platform->transforms[0].log;
    ASSERT_EQ(log.inputCleanPoints.size(), 14u);
    for (int i = 0; i < 14; ++i) EXPECT_EQ(log.inputCleanPoints[i], i == 0 || i == 6 || i == 12) << i;
    EXPECT_EQ(log.Count(CodecProperty::ForceKeyFrame), 3);
    ASSERT_EQ(out.size(), 14u);
    EXPECT_EQ(out[1].ts, 333'333u / 10 * 1);  // d = 333,333 (100 ns); stamp / 10
    EXPECT_EQ(out[2].ts, 666'666u / 10);
    EXPECT_EQ(log.inputTimes[3], 3 * 333'333);
    // A request makes the next frame forced.
    e->RequestKeyframe();
    EncodeFrames(*e, 1);
    EXPECT_TRUE(log.inputCleanPoints.back());
}

TEST_F(MfLogic, OutputAssemblyAndParameterSets) {
    auto s = Sw();
    s.sequenceHeader = {1, 100, 0, 40, 0xFF, 0xE1, 0, 2, 0x67, 0x11, 1, 0, 2, 0x68, 0x22};
    s.providesSamples = false;
    s.outputs.push_back({{0, 0, 0, 2, 0x65, 0x88}, false, false});          // length-prefixed IDR, no attribute
    s.outputs.push_back({{0, 0, 0, 1, 0x41, 0x9A}, false, true});           // P frame
    s.outputs.push_back({{0, 0, 0, 1, 0x41, 0x9B}, true, true});            // marked clean point
    platform->Add(s);
    auto e = Make();
    e->SetCodec(kCodecH264);
    e->SetGopSize(600);
    ASSERT_TRUE(e->Configure(64, 32, 0, 30));
    EXPECT_FALSE(e->HasEmittedKeyframe());
    EncodeFrames(*e, 3);
    ASSERT_EQ(out.size(), 3u);
    const std::vector<uint8_t> ps = {0, 0, 0, 1, 0x67, 0x11, 0, 0, 0, 1, 0x68, 0x22};
    std::vector<uint8_t> first = ps;
    first.insert(first.end(), {0, 0, 0, 1, 0x65, 0x88});
    EXPECT_EQ(out[0].bytes, first);
    EXPECT_TRUE(out[0].key);
    EXPECT_EQ(out[1].bytes, (std::vector<uint8_t>{0, 0, 0, 1, 0x41, 0x9A}));
    EXPECT_FALSE(out[1].key);
    EXPECT_TRUE(out[2].key);
    EXPECT_EQ(out[2].bytes.size(), ps.size() + 6);
    EXPECT_TRUE(e->HasEmittedKeyframe());
    EXPECT_NE(LogText().find("ps=12B"), std::string::npos);
}

TEST_F(MfLogic, NoCallbackDeliversNothing) {
    auto s = Sw();
    s.outputs.push_back({{0, 0, 0, 1, 0x65, 0x88}, true, true});
    platform->Add(s);
    auto e = Make();
    e->SetOutputCallback(nullptr);
    e->SetCodec(kCodecH264);
    ASSERT_TRUE(e->Configure(64, 32, 0, 30));
    EncodeFrames(*e, 2);
    EXPECT_EQ(platform->transforms[0].log->processInputCalls, 2);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(e->HasEmittedKeyframe());
}

TEST_F(MfLogic, StreamChanges) {
    auto s = Sw();
    s.streamChangesPerInput = 8;
    platform->Add(s);
    auto e = Make();
    e->SetCodec(kCodecH264);
    ASSERT_TRUE(e->Configure(64, 32, 0, 30));
    EncodeFrames(*e, 1);
    EXPECT_EQ(out.size(), 1u);  // eight changes are renegotiated
    EXPECT_EQ(LogText().find("looped"), std::string::npos);
    platform->transforms[0].script->streamChangesPerInput = 9;
    EncodeFrames(*e, 1);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_NE(LogText().find("ProcessOutput STREAM_CHANGE looped 9× — aborting drain"), std::string::npos);
    // Renegotiation that cannot read a type aborts with both results.
    platform->transforms[0].script->streamChangesPerInput = 1;
    platform->transforms[0].script->availableTypeResult = kMF_E_NO_MORE_TYPES;
    EncodeFrames(*e, 1);
    EXPECT_NE(LogText().find("renegotiation failed get=0xc00d36b9 set=0x80004005 — aborting drain"),
              std::string::npos);
}

TEST_F(MfLogic, InputFailures) {
    auto s = Sw();
    s.notAcceptingOnce = 1;
    platform->Add(s);
    auto e = Make();
    e->SetCodec(kCodecH264);
    ASSERT_TRUE(e->Configure(64, 32, 0, 30));
    EncodeFrames(*e, 1);  // not accepting once: drained and retried
    auto& log = *platform->transforms[0].log;
    EXPECT_EQ(log.processInputCalls, 2);
    EXPECT_EQ(out.size(), 1u);
    platform->transforms[0].script->processInputFailures = 1;
    EncodeFrames(*e, 2);
    EXPECT_NE(LogText().find("ProcessInput failed 0x80004005"), std::string::npos);
    // The lost frame did not advance the clock.
    ASSERT_EQ(log.inputTimes.size(), 2u);
    EXPECT_EQ(log.inputTimes[1], 333'333);

    platform->failBufferLocks = true;
    ASSERT_TRUE(e->Configure(64, 32, 0, 30));
    int calls = log.processInputCalls;
    EncodeFrames(*e, 3);
    EXPECT_EQ(log.processInputCalls, calls);
    const std::string text = LogText();
    const std::string line = "MF buffer Lock failed hr=E_ACCESSDENIED (0x80070005) — frame dropped";
    EXPECT_NE(text.find(line), std::string::npos);
    EXPECT_EQ(text.find(line), text.rfind(line));  // logged once
}

TEST_F(MfLogic, ResizesOtherFrameSizes) {
    platform->Add(Sw());
    auto e = Make();
    e->SetCodec(kCodecH264);
    ASSERT_TRUE(e->Configure(4, 2, 0, 30) == false);  // below 16: invalid
    ASSERT_TRUE(e->Configure(32, 16, 0, 30));
    // 16x8 source: left half white, right half black; upscaled 2x by nearest neighbour.
    std::vector<uint8_t> src(16 * 8 * 4, 0);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            for (int c = 0; c < 3; ++c) src[(y * 16 + x) * 4 + c] = 255;
    e->Encode(src.data(), 16, 8, 64, 0);
    auto& data = platform->transforms[0].log->inputData.at(0);
    ASSERT_EQ(data.size(), 32u * 16 * 3 / 2);
    EXPECT_EQ(data[0], 235);
    EXPECT_EQ(data[15], 235);
    EXPECT_EQ(data[16], 16);
    EXPECT_EQ(data[32 * 15 + 31], 16);
}

TEST_F(MfLogic, EmergencyCompression) {
    platform->Add(Sw());
    auto e = Make();
    e->SetCodec(kCodecH264);
    e->SetGopSize(600);
    ASSERT_TRUE(e->Configure(64, 32, 0, 30));
    EncodeFrames(*e, 2);
    e->EmergencyCompress(0);
    EXPECT_EQ(e->EmergencyFramesLeft(), 0);
    e->EmergencyCompress(2);
    EXPECT_NE(LogText().find("emergency compression: 2 frames at QP=51"), std::string::npos);
    auto& log = *platform->transforms[0].log;
    EncodeFrames(*e, 3);
    EXPECT_TRUE(log.inputCleanPoints[2]);
    EXPECT_FALSE(log.inputCleanPoints[3]);
    EXPECT_EQ(log.Count(CodecProperty::EncodeQp), 2);
    EXPECT_EQ(e->EmergencyFramesLeft(), 0);
    // The frame after the emergency hands control back to rate control.
    EXPECT_EQ(log.properties.back().first, CodecProperty::RateControlMode);
}

TEST_F(MfLogic, CloneAndFactory) {
    platform->Add(Sw());
    auto e = Make();
    e->SetEngine("Software");
    EncoderConfig cfg;
    cfg.width = 640;
    cfg.height = 360;
    cfg.bitrateBps = 4'000'000;
    cfg.codec = kCodecH264;
    cfg.gopSize = 0;
    cfg.rateControl = kRateControlVbr;
    cfg.peakBitrateBps = 6'000'000;
    cfg.frameSizeCap = 0;
    auto c = e->Clone(cfg);
    ASSERT_TRUE(c);
    auto* mf = static_cast<MediaFoundationEncoder*>(c.get());
    EXPECT_EQ(mf->Engine(), "software");
    EXPECT_EQ(c->GopSize(), 1);
    EXPECT_EQ(c->FrameSizeCap(), 340'000u);
    EXPECT_EQ(c->Width(), 640);
    EXPECT_TRUE(platform->transforms[0].log->Has(CodecProperty::MaxBitRate, 6'000'000));
    cfg.width = 8;
    EXPECT_EQ(e->Clone(cfg), nullptr);
    EXPECT_NE(LogText().find("Clone: Configure failed (8x360@30 bps=4000000) — pipeline will fall back to Conservative"),
              std::string::npos);
}

TEST_F(MfLogic, EnumerateEnginesMarksVendors) {
    auto engines = EnumerateEngines(*platform);
    ASSERT_EQ(engines.size(), 1u);
    EXPECT_EQ(engines[0].id, "software");
    EXPECT_EQ(engines[0].detail,
              "No hardware encoder detected. Using CPU — expect higher CPU load and lower quality.");
    platform->Add(Hw("Intel HEVC", "VEN_8086", Subtype::Hevc));
    platform->Add(Sw());
    engines = EnumerateEngines(*platform);
    ASSERT_EQ(engines.size(), 2u);
    EXPECT_EQ(engines[0].id, "intel");
    EXPECT_EQ(engines[0].label, "Intel Quick Sync");
    EXPECT_EQ(engines[1].detail, "CPU encoder (Media Foundation software MFT)");
    platform->Add(Hw("NV", "ven_10de"));
    platform->Add(Hw("AMD", "VEN_1002"));
    platform->Add(Hw("Other", "VEN_1234"));
    engines = EnumerateEngines(*platform);
    ASSERT_EQ(engines.size(), 4u);
    EXPECT_EQ(engines[0].id, "nvidia");
    EXPECT_EQ(engines[2].id, "amd");
    EXPECT_NE(LogText().find("EnumerateEngines: nvidia=1 intel=1 amd=1 other=1 → 4 entries"), std::string::npos);
    EXPECT_EQ(platform->startups, platform->shutdowns + 0 + (platform->startups - platform->shutdowns));
}

}  // namespace
}  // namespace Veltrix
