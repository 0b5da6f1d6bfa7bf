#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "encoder/encoder_pipeline.h"
#include "support/debug_topics.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

TEST(TransitionsCsvTest, RowFormatUsesDefaultStreamFormatAndEmptyNegatives) {
    TransitionRecord r;
    r.mode = "Seamless";
    r.fromW = 1920;
    r.fromH = 1080;
    r.toW = 1280;
    r.toH = 720;
    r.swapMs = 12.34567;
    r.totalMs = 250;
    EXPECT_EQ(FormatTransitionRow(42, r), "42,Seamless,1920,1080,1280,720,,,12.3457,250,0,");

    r.cloneMs = 0.5;
    r.swapMs = -1;
    r.totalMs = 1234567.0;
    r.error = "clone_failed";
    EXPECT_EQ(FormatTransitionRow(-3, r), "-3,Seamless,1920,1080,1280,720,0.5,,,1.23457e+06,0,clone_failed");
}

TEST(TransitionsCsvTest, HeaderOnlyWhenFileIsNewAndLinesEndInCrLf) {
    const auto path = DebugFilePath("transitions.csv");
    std::filesystem::remove(path);
    TransitionRecord r;
    r.mode = "Conservative";
    r.totalMs = 1.5;
    AppendTransitionRecord(1, r);
    AppendTransitionRecord(2, r);
    EXPECT_EQ(testing::ReadFileText(path),
              "ts,mode,fromW,fromH,toW,toH,cloneMs,firstKeyMs,swapMs,totalMs,framesDropped,error\r\n"
              "1,Conservative,0,0,0,0,,,,1.5,0,\r\n"
              "2,Conservative,0,0,0,0,,,,1.5,0,\r\n");

    // A file that exists (even one with other content) gets no second header.
    std::filesystem::remove(path);
    { std::ofstream(path, std::ios::binary) << "x\r\n"; }
    AppendTransitionRecord(3, r);
    EXPECT_EQ(testing::ReadFileText(path), "x\r\n3,Conservative,0,0,0,0,,,,1.5,0,\r\n");
}

}  // namespace
}  // namespace Veltrix
