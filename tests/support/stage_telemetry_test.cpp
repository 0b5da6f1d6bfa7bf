#include "support/stage_telemetry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/testing/manual_clock.h"

namespace Veltrix {
namespace {

using namespace std::chrono_literals;

TEST(StageTelemetryTest, OneLinePerSecondWithEachStagesMedianAndTail) {
    testing::ManualClock clock;
    std::vector<std::string> lines;
    StageTelemetry telemetry(clock, [&](const std::string& l) { lines.push_back(l); });
    for (int us = 1; us <= 100; ++us) telemetry.Record(Stage::kEncode, us * 10);
    telemetry.Record(Stage::kPace, 7);
    clock.Advance(999ms);
    telemetry.Record(Stage::kPace, 7);
    EXPECT_TRUE(lines.empty()) << "a window is a whole second";

    clock.Advance(2ms);
    telemetry.Record(Stage::kConvert, 5);  // opens the next window
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "stages window_ms=1001 convert_n=0 encode_n=100 encode_p50_us=510 encode_p95_us=950 "
              "packetize_n=0 pace_n=2 pace_p50_us=7 pace_p95_us=7");

    clock.Advance(1s);
    telemetry.Record(Stage::kConvert, -3);  // a clock step backwards counts as no time
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "stages window_ms=1000 convert_n=1 convert_p50_us=5 convert_p95_us=5 encode_n=0 "
                        "packetize_n=0 pace_n=0");
}

}  // namespace
}  // namespace Veltrix
