#include "vx-host/host_options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/testing/test_env.h"

namespace Veltrix::host {
namespace {

std::optional<HostOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string e;
    auto r = ParseHostOptions(args, &e);
    if (error) *error = e;
    return r;
}

TEST(HostOptions, DefaultsAndEveryOption) {
    auto d = Parse({});
    ASSERT_TRUE(d);
    EXPECT_EQ(d->width, 1280);
    EXPECT_EQ(d->height, 720);
    EXPECT_EQ(d->fps.num, 30);
    EXPECT_EQ(d->audio, AudioMode::kPush);
    EXPECT_FALSE(d->as);

    auto o = Parse({"--size", "1920x1080", "--fps=29.97", "--seconds", "2.5", "--pattern", "static", "--audio",
                    "pull", "--paused", "--as", "ame", "--plugin", "/x/Veltrix.so", "-q"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->width, 1920);
    EXPECT_EQ(o->height, 1080);
    EXPECT_EQ(o->fps.num, 30000);
    EXPECT_EQ(o->fps.den, 1001);
    EXPECT_DOUBLE_EQ(o->seconds, 2.5);
    EXPECT_EQ(o->pattern, PatternKind::kStatic);
    EXPECT_EQ(o->audio, AudioMode::kPull);
    EXPECT_TRUE(o->paused);
    EXPECT_EQ(o->as, HostKind::kMediaEncoder);
    EXPECT_EQ(o->plugin, "/x/Veltrix.so");
    EXPECT_TRUE(o->quiet);
    EXPECT_TRUE(Parse({"--help"})->help);
}

TEST(HostOptions, FrameRatesAreExactFractions) {
    auto rate = [](const char* s) { return ParseFrameRate(s); };
    EXPECT_EQ(rate("23.976")->num, 24000);
    EXPECT_EQ(rate("59.94")->den, 1001);
    EXPECT_EQ(rate("30000/1001")->num, 30000);
    EXPECT_EQ(rate("12.5")->num, 25);
    EXPECT_EQ(rate("12.5")->den, 2);
    EXPECT_EQ(rate("240")->num, 240);
    for (const char* bad : {"0", "0.5", "241", "abc", "30/0", "-30", "30.", ".5x", "1/2", ""}) {
        EXPECT_FALSE(rate(bad)) << bad;
    }
}

TEST(HostOptions, ErrorsNameTheOption) {
    std::string e;
    EXPECT_FALSE(Parse({"--size", "1280"}, &e));
    EXPECT_NE(e.find("--size"), std::string::npos);
    EXPECT_FALSE(Parse({"--size", "0x720"}, &e));
    EXPECT_FALSE(Parse({"--audio", "loud"}, &e));
    EXPECT_NE(e.find("--audio"), std::string::npos);
    EXPECT_FALSE(Parse({"--as", "resolve"}, &e));
    EXPECT_FALSE(Parse({"--seconds", "-1"}, &e));
    EXPECT_FALSE(Parse({"--pattern"}, &e));
    EXPECT_NE(e.find("needs a value"), std::string::npos);
    EXPECT_FALSE(Parse({"--frobnicate"}, &e));
    EXPECT_NE(e.find("unknown option '--frobnicate'"), std::string::npos);
}

TEST(HostOptions, ControlSurfaceAndInOutPoints) {
    std::string e;
    auto o = Parse({"--in", "1.5", "--out", "4", "--no-ctrl"}, &e);
    ASSERT_TRUE(o) << e;
    EXPECT_DOUBLE_EQ(o->inPoint, 1.5);
    EXPECT_DOUBLE_EQ(o->outPoint, 4.0);
    EXPECT_TRUE(o->noCtrl);
    EXPECT_EQ(Parse({}, &e)->outPoint, -1);  // no out point unless given
    EXPECT_EQ(Parse({"--ctrl", "/x/VeltrixCtrl.so"}, &e)->ctrl, "/x/VeltrixCtrl.so");
    EXPECT_FALSE(Parse({"--in", "3", "--out", "2"}, &e));
    EXPECT_NE(e.find("--out must not be before --in"), std::string::npos);
    EXPECT_FALSE(Parse({"--in", "-1"}, &e));
    EXPECT_FALSE(Parse({"--ctrl"}, &e));
}

// The copy that poses as a host runs from elsewhere (a temp folder on
// Windows): it is told where both plug-ins beside the original are.
TEST(HostOptions, TheHostCopyLoadsThePlugInsBesideTheOriginal) {
    const auto dir = testing::MakeTempDir("host-copy");
    const std::vector<std::string> args{"--as", "premiere"};
    const HostOptions plain = *Parse(args);
    EXPECT_EQ(ArgsForHostCopy(args, plain, dir, "P.prm", "C.acsrf"),
              (std::vector<std::string>{"--as", "premiere", "--plugin", (dir / "P.prm").string()}));
    std::ofstream(dir / "C.acsrf") << "x";
    EXPECT_EQ(ArgsForHostCopy(args, plain, dir, "P.prm", "C.acsrf"),
              (std::vector<std::string>{"--as", "premiere", "--plugin", (dir / "P.prm").string(), "--ctrl",
                                        (dir / "C.acsrf").string()}));
    const std::vector<std::string> named{"--as", "ae", "--plugin", "/p", "--ctrl", "/c"};
    EXPECT_EQ(ArgsForHostCopy(named, *Parse(named), dir, "P.prm", "C.acsrf"), named);
    const std::vector<std::string> none{"--as", "ae", "--no-ctrl"};
    EXPECT_EQ(ArgsForHostCopy(none, *Parse(none), dir, "P.prm", "C.acsrf").size(), 5u);
    std::filesystem::remove_all(dir);
}

TEST(HostOptions, HostNamesDetectAsTheirHost) {
    for (HostKind k : {HostKind::kPremiere, HostKind::kAfterEffects, HostKind::kMediaEncoder, HostKind::kOther}) {
        std::string lower = HostExecutableNameFor(k);
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(HostKindFromExecutableName(lower), k) << lower;
        EXPECT_EQ(HostKindFromExecutableName(lower + ".exe"), k) << lower;
    }
}

}  // namespace
}  // namespace Veltrix::host
