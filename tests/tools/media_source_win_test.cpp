// The Windows build has no file reader: --source says so and stops with
// status 2 before any plug-in is loaded, rather than playing the pattern.
#include <gtest/gtest.h>

#include <sstream>

#include "vx-host/host_session.h"

namespace Veltrix::host {
namespace {

TEST(MediaSourceWin, SourceIsRefusedWithAClearError) {
    std::atomic<bool> stop{false};
    std::ostringstream out, err;
    EXPECT_EQ(HostMain({"--source", "clip.mp4", "--plugin", "C:\\nonexistent\\Veltrix.prm"}, stop, out, err, false), 2);
    EXPECT_NE(err.str().find("no video file reader"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace Veltrix::host
