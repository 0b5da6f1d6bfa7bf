// --source: a real clip written with libavformat, read back through the file
// reader (pictures by timeline time, looping, scaled; audio resampled), and
// files that cannot be played refused before any plug-in is loaded.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "tests/testing/test_env.h"
#include "tests/tools/test_clip_libav.h"
#include "vx-host/host_session.h"
#include "vx-host/media_source.h"
#include "vx-host/picture_clock.h"
#include "vx-host/sync_schedule.h"

namespace Veltrix::host {
namespace {

class MediaSourceTest : public ::testing::Test {
protected:
    void SetUp() override { tmp_ = testing::MakeTempDir("media-source"); }
    void TearDown() override { std::filesystem::remove_all(tmp_); }
    std::filesystem::path tmp_;
};

int MarkOf(const std::vector<std::uint8_t>& bgra, int w, int h) {
    // Middle of the lower-right block, away from its edges.
    const std::uint8_t* p = bgra.data() + (static_cast<std::size_t>(h * 7 / 8) * w + w * 7 / 8) * 4;
    return p[1];
}

TEST_F(MediaSourceTest, PicturesFollowTheTimelineAndLoopAudioIsResampled) {
    const auto clip = (tmp_ / "clip.mkv").string();
    std::string error;
    ASSERT_TRUE(testing::WriteTestClip(clip, 160, 96, 24, 24, true, &error)) << error;
    auto source = OpenMediaSource(clip, {}, &error);
    ASSERT_TRUE(source) << error;
    EXPECT_EQ(source->width(), 160);
    EXPECT_EQ(source->height(), 96);
    EXPECT_TRUE(source->hasAudio());
    std::vector<std::uint8_t> bgra(160 * 96 * 4);
    // Two passes: the second second of timeline shows the clip again.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < 24; i += 3) {
            ASSERT_TRUE(source->VideoAt(pass + (i + 0.5) / 24.0, bgra.data(), 160 * 4, &error)) << error;
            EXPECT_NEAR(MarkOf(bgra, 160, 96), testing::ClipMarkLevel(i), 4) << "pass " << pass << " frame " << i;
        }
    }
    // One second of 44.1 kHz mono becomes 48000 samples on both channels.
    std::vector<float> left(48000), right(48000);
    float* buffers[2] = {left.data(), right.data()};
    source->ReadAudio(buffers, 2, 48000);
    double sl = 0, sr = 0;
    for (int i = 0; i < 48000; ++i) {
        sl += left[i] * left[i];
        sr += right[i] * right[i];
    }
    // A sine's RMS, and mono spread over two channels at -3 dB each.
    const double expected = 16000.0 / 32768.0 / std::sqrt(2.0) / std::sqrt(2.0);
    EXPECT_NEAR(std::sqrt(sl / 48000), expected, 0.03);
    EXPECT_NEAR(std::sqrt(sr / 48000), expected, 0.03);

    // At the size asked for.
    MediaSourceOptions scaled;
    scaled.width = 320;
    scaled.height = 192;
    auto big = OpenMediaSource(clip, scaled, &error);
    ASSERT_TRUE(big) << error;
    std::vector<std::uint8_t> large(320 * 192 * 4);
    ASSERT_TRUE(big->VideoAt(6.5 / 24, large.data(), 320 * 4, &error));
    EXPECT_NEAR(MarkOf(large, 320, 192), testing::ClipMarkLevel(6), 4);
}

// The tone's RMS over [from, to) seconds of 48 kHz output.
double Rms(const std::vector<float>& s, double from, double to) {
    double sum = 0;
    const auto a = static_cast<std::size_t>(from * 48000), b = static_cast<std::size_t>(to * 48000);
    for (std::size_t i = a; i < b; ++i) sum += s[i] * s[i];
    return std::sqrt(sum / static_cast<double>(b - a));
}

// A looping file's audio loops with its video (25 frames at 24 fps): a shorter
// tone is followed by silence, a longer one is cut, and each pass starts the
// tone again at the same sample.
TEST_F(MediaSourceTest, AudioLoopsWithTheVideo) {
    const double pass = 25.0 / 24;
    for (const int audioFrames : {12, 37}) {
        const auto clip = (tmp_ / ("clip" + std::to_string(audioFrames) + ".nut")).string();
        std::string error;
        ASSERT_TRUE(testing::WriteTestClip(clip, 64, 48, 24, 25, true, &error, audioFrames)) << error;
        auto source = OpenMediaSource(clip, {}, &error);
        ASSERT_TRUE(source) << error;
        std::vector<float> left(48000 * 3), right(left.size());
        float* buffers[2] = {left.data(), right.data()};
        source->ReadAudio(buffers, 2, static_cast<std::uint32_t>(left.size()));
        const double tone = 16000.0 / 32768.0 / 2;
        if (audioFrames == 12) {
            EXPECT_NEAR(Rms(left, 0.1, 0.45), tone, 0.03);
            EXPECT_LT(Rms(left, 0.55, pass - 0.01), 0.001) << "silence until the video's pass ends";
        } else {
            EXPECT_NEAR(Rms(left, 0.1, pass - 0.01), tone, 0.03);
        }
        for (const int k : {1, 2}) {
            const auto at = static_cast<std::size_t>(k * pass * 48000 + 0.5);
            double diff = 0;
            for (std::size_t i = 2000; i < 6000; ++i) diff = std::max<double>(diff, std::fabs(left[at + i] - left[i]));
            EXPECT_LT(diff, 0.01) << audioFrames << " frames of tone, pass " << k;
        }
    }
}

// Pictures without time stamps are counted from each pass's start.
TEST(PictureClockTest, FramesWithoutStampsStartEachPassAtItsStart) {
    PictureClock clock(0.5, 2.0);
    for (const double expected : {0.0, 0.5, 1.0, 1.5}) EXPECT_DOUBLE_EQ(clock.Next(std::nullopt, false), expected);
    EXPECT_DOUBLE_EQ(clock.Next(std::nullopt, true), 2.0);
    EXPECT_DOUBLE_EQ(clock.Next(std::nullopt, false), 2.5);
    // Stamps count from the pass's first one; an unknown length continues after the last picture.
    PictureClock stamped(0.5, 0);
    EXPECT_DOUBLE_EQ(stamped.Next(10.0, false), 0.0);
    EXPECT_DOUBLE_EQ(stamped.Next(10.5, false), 0.5);
    EXPECT_DOUBLE_EQ(stamped.Next(10.0, true), 1.0);
    EXPECT_DOUBLE_EQ(stamped.Next(std::nullopt, false), 1.5);
}

TEST_F(MediaSourceTest, FilesThatCannotBePlayedFailBeforeThePluginLoads) {
    std::string error;
    EXPECT_FALSE(OpenMediaSource((tmp_ / "missing.mp4").string(), {}, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
    const auto junk = tmp_ / "junk.mkv";
    std::ofstream(junk) << std::string(4096, 'x');
    EXPECT_FALSE(OpenMediaSource(junk.string(), {}, &error));
    // The plug-in path is wrong too, but the source is checked first: status 2, not 1.
    std::atomic<bool> stop{false};
    std::ostringstream out, err;
    EXPECT_EQ(HostMain({"--source", junk.string(), "--plugin", "/nonexistent/Veltrix.so"}, stop, out, err, false), 2);
    EXPECT_NE(err.str().find("--source"), std::string::npos) << err.str();
}

TEST(SyncScheduleTest, OneFlashFrameAndOneClickAtItsInstantEverySecond) {
    for (auto [num, den] : {std::pair<std::int64_t, std::int64_t>{30, 1}, {30000, 1001}, {25, 1}}) {
        const SyncSchedule s(num, den, 48000);
        int flashes = 0;
        for (std::int64_t f = 0; f < 10 * num / den; ++f) {
            if (!s.IsFlashFrame(f)) continue;
            ++flashes;
            // The click starts on the flash frame's own sample and lasts 5 ms.
            const auto start = static_cast<std::int64_t>(std::llround(static_cast<double>(f) * den * 48000 / num));
            float level = 0;
            EXPECT_FALSE(s.InClick(start - 1, &level)) << f;
            EXPECT_TRUE(s.InClick(start, &level)) << f;
            EXPECT_EQ(level, SyncSchedule::kClickLevel);
            EXPECT_TRUE(s.InClick(start + 239, &level));
            EXPECT_FALSE(s.InClick(start + 240, &level));
        }
        EXPECT_EQ(flashes, 10) << num << "/" << den;
    }
}

}  // namespace
}  // namespace Veltrix::host
