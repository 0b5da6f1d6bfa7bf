#include "transmit/module_info.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/log.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

TEST(ModuleInfo, PluginInformationWritesOnlyItsFields) {
    TxPluginInfo info;
    std::memset(&info, 0xAB, sizeof info);
    FillPluginInfo(&info);
    EXPECT_EQ(+info.audioAvailable, 1);
    EXPECT_EQ(+info.audioDefaultEnabled, 1);
    EXPECT_EQ(+info.clockAvailable, 1);
    EXPECT_EQ(+info.videoAvailable, 1);
    EXPECT_EQ(+info.videoDefaultEnabled, 1);
    const char16_t expected[] = u"Lumenfold";
    for (std::size_t i = 0; i < sizeof expected / sizeof expected[0]; ++i) {
        EXPECT_EQ(+info.displayName[i], expected[i]) << i;
    }
    EXPECT_EQ(+info.displayName[10], 0xABAB);  // past the terminator: untouched
    EXPECT_EQ(+info.hideInUI, 0);
    EXPECT_EQ(+info.hasSetup, 1);
    EXPECT_EQ(+info.interfaceVersion, 4);
    EXPECT_EQ(+info.pushAudioAvailable, 1);
    EXPECT_EQ(+info.hasStreaming, 1);
    // The identifier and the priority are the host's defaults: untouched.
    EXPECT_EQ(static_cast<unsigned char>(info.identifier[0]), 0xABu);
    EXPECT_EQ(+info.priority, 0xABABABABu);
}

TEST(ModuleInfo, AudioModeDefaultsAndLatency) {
    testing::ScopedTestDirs dirs;
    TxAudioMode mode{};
    EXPECT_EQ(AnswerAudioMode(nullptr, 1, &mode), kTxResultNoMode);
    EXPECT_EQ(AnswerAudioMode(nullptr, 0, nullptr), kTxResultNoMode);
    TxInstance inst{};
    inst.audioSampleRate = 0.0f;
    inst.videoFrameRate = 8'467'200'000;  // 30 fps
    ASSERT_EQ(AnswerAudioMode(&inst, 0, &mode), kTxResultSuccess);
    EXPECT_EQ(+mode.sampleRate, 48000.0f);
    EXPECT_EQ(+mode.maxBufferSize, 48000u);
    EXPECT_EQ(+mode.channelCount, 2u);
    EXPECT_EQ(+mode.channelLabels[0], 100);
    EXPECT_EQ(+mode.channelLabels[1], 101);
    EXPECT_EQ(+mode.latency, 5 * 8'467'200'000LL);
    inst.audioSampleRate = 44100.0f;
    inst.videoFrameRate = -1;
    ASSERT_EQ(AnswerAudioMode(&inst, 0, &mode), kTxResultSuccess);
    EXPECT_EQ(+mode.maxBufferSize, 44100u);
    EXPECT_EQ(+mode.latency, 0);
    ASSERT_EQ(AnswerAudioMode(nullptr, 0, &mode), kTxResultSuccess);
    EXPECT_EQ(+mode.sampleRate, 48000.0f);
    const std::string log = testing::ReadFileText(LogFilePath());
    EXPECT_NE(log.find("main:INFO] QueryAudioMode: idx=0 rate=44100 ch=2"), std::string::npos) << log;
}

TEST(ModuleInfo, VideoModeIsAnySizeBgra) {
    TxVideoMode mode{};
    EXPECT_EQ(AnswerVideoMode(nullptr, 1, &mode), kTxResultNoMode);
    TxInstance inst{};
    inst.videoFrameRate = 1000;
    ASSERT_EQ(AnswerVideoMode(&inst, 0, &mode), kTxResultSuccess);
    EXPECT_EQ(+mode.width, 0);
    EXPECT_EQ(+mode.height, 0);
    EXPECT_EQ(+mode.fieldType, 4);
    EXPECT_EQ(+mode.parNum, 0);
    EXPECT_EQ(+mode.parDen, 0);
    EXPECT_EQ(+mode.pixelFormat, 0x61726762u);  // 'b' | 'g' << 8 | 'r' << 16 | 'a' << 24
    EXPECT_EQ(+mode.latency, 2000);
    ASSERT_EQ(AnswerVideoMode(nullptr, 0, &mode), kTxResultSuccess);
    EXPECT_EQ(+mode.latency, 0);
}

}  // namespace
}  // namespace Veltrix
