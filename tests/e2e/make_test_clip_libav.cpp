// make_test_clip FILE [WIDTHxHEIGHT FPS FRAMES]: the --source test clip, for scripts.
#include <cstdio>
#include <cstdlib>

#include "tests/tools/test_clip_libav.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_test_clip FILE [WIDTHxHEIGHT FPS FRAMES]\n");
        return 2;
    }
    int w = 640, h = 360, fps = 30, frames = 60;
    if (argc >= 3 && std::sscanf(argv[2], "%dx%d", &w, &h) != 2) return 2;
    if (argc >= 4) fps = std::atoi(argv[3]);
    if (argc >= 5) frames = std::atoi(argv[4]);
    if (w < 16 || h < 16 || fps < 1 || frames < 1) return 2;
    std::string error;
    if (!Veltrix::testing::WriteTestClip(argv[1], w, h, fps, frames, true, &error)) {
        std::fprintf(stderr, "make_test_clip: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
