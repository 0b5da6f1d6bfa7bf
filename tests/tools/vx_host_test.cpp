#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/testing/test_env.h"
#include "vx-host/host_session.h"
#include "vx-host/platform.h"

namespace Veltrix::host {
namespace {

using RecordFn = const char* (*)(int);

class VxHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        library = LoadPluginLibrary(VX_RECORDING_PLUGIN, &error);
        ASSERT_TRUE(library) << error;
        record = reinterpret_cast<RecordFn>(library->Symbol("recording_plugin_record"));
        ASSERT_TRUE(record);
        record(1);
    }
    int RunHost(std::vector<std::string> args) {
        args.insert(args.end(), {"--plugin", VX_RECORDING_PLUGIN, "--size", "320x180", "-q"});
        std::atomic<bool> stop{false};
        out.str("");
        err.str("");
        return HostMain(args, stop, out, err, false);
    }
    long Value(const std::string& rec, const std::string& key) {
        const auto at = rec.find("\n" + key + "=");
        return at == std::string::npos ? -1 : std::stol(rec.substr(at + key.size() + 2));
    }

    testing::ScopedTestDirs dirs;
    std::unique_ptr<PluginLibrary> library;
    RecordFn record = nullptr;
    std::ostringstream out, err;
};

TEST_F(VxHostTest, PlaysInTheHostsOrderWithStampedFramesAndPushedAudio) {
    ASSERT_EQ(RunHost({"--fps", "60", "--seconds", "0.5", "--audio", "push"}), 0) << err.str();
    const std::string rec = record(0);
    const std::string expected =
        "entry version=4 suites=9\nstartup\nstreaming_callback set\ncreate rate=48000 play=1 channels=2 size=320x180\n"
        "query_video 0\nquery_audio 0\nactivate 1 1\n"
        "start_clock mode=1\nstart_push_audio scrubbing=0\npush_video\npush_audio\n"
        "stop_push_audio\nstop_clock\nactivate 0 0\ndispose\nshutdown\n";
    EXPECT_EQ(rec.substr(0, expected.size()), expected) << rec;
    EXPECT_EQ(Value(rec, "frames"), 30);
    EXPECT_EQ(Value(rec, "bad_formats"), 0);  // every picture in the SDK's 8-bit BGRA
    EXPECT_EQ(Value(rec, "stamps"), 30);  // every picture's stamp read back, in order
    EXPECT_EQ(Value(rec, "stamp_order_errors"), 0);
    // Half a second at 48 kHz in whole 1024-sample frames, never ahead of the picture.
    EXPECT_EQ(Value(rec, "pushed") % 1024, 0);
    EXPECT_GE(Value(rec, "pushed"), 24000 - 1024);
    EXPECT_LE(Value(rec, "pushed"), 24000);
    EXPECT_EQ(Value(rec, "pulled"), 0);  // pulls are refused while the host pushes
    EXPECT_GT(Value(rec, "ticks"), 0);
    EXPECT_NE(out.str().find("Recorder: 30 frames"), std::string::npos) << out.str();
}

TEST_F(VxHostTest, PullModeServesTheToneToThePlugin) {
    ASSERT_EQ(RunHost({"--fps", "50", "--seconds", "0.3", "--audio", "pull"}), 0) << err.str();
    const std::string rec = record(0);
    EXPECT_EQ(rec.find("start_push_audio"), std::string::npos);
    EXPECT_EQ(Value(rec, "pushed"), 0);
    EXPECT_GT(Value(rec, "pulled"), 0);
    EXPECT_EQ(Value(rec, "pull_errors"), 0);
    EXPECT_EQ(Value(rec, "pulled"), Value(rec, "ticks") * 960);  // one 50 fps frame of 48 kHz per tick
}

TEST_F(VxHostTest, NoAudioAndAStaticPicture) {
    ASSERT_EQ(RunHost({"--fps", "50", "--seconds", "0.2", "--audio", "none", "--pattern", "static"}), 0) << err.str();
    const std::string rec = record(0);
    EXPECT_EQ(Value(rec, "frames"), 10);
    EXPECT_EQ(Value(rec, "stamps"), 0);
    EXPECT_EQ(Value(rec, "pulled"), 0);
    EXPECT_EQ(Value(rec, "pull_errors"), Value(rec, "ticks"));
}

TEST_F(VxHostTest, PausedHostShowsOneFrameWithoutClockOrAudio) {
    ASSERT_EQ(RunHost({"--paused", "--seconds", "0.3"}), 0) << err.str();
    const std::string rec = record(0);
    EXPECT_EQ(Value(rec, "frames"), 1);
    EXPECT_EQ(rec.find("start_clock"), std::string::npos);
    EXPECT_EQ(rec.find("start_push_audio"), std::string::npos);
    EXPECT_NE(rec.find("activate 1 1\npush_video\nactivate 0 0\ndispose\nshutdown\n"), std::string::npos) << rec;
}

TEST_F(VxHostTest, ClearErrorsForBadOptionsAndMissingPlugins) {
    std::atomic<bool> stop{false};
    EXPECT_EQ(HostMain({"--fps", "nope"}, stop, out, err, false), 2);
    EXPECT_NE(err.str().find("--fps"), std::string::npos);
    err.str("");
    EXPECT_EQ(HostMain({"--plugin", "/nonexistent/Veltrix.so"}, stop, out, err, false), 1);
    EXPECT_NE(err.str().find("cannot load the plug-in"), std::string::npos);
    out.str("");
    EXPECT_EQ(HostMain({"--help"}, stop, out, err, false), 0);
    EXPECT_NE(out.str().find("--as HOST"), std::string::npos);
}

}  // namespace
}  // namespace Veltrix::host
