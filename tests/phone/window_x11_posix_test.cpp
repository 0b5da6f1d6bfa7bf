// vx-phone --show under a private Xvfb: the real receiver decodes stamped
// H.264 sent through the plug-in's transport, and a screenshot of its window
// (X11 XGetImage) shows the picture, whose stamp reads back, with the
// overlay; closing the window ends the run as Ctrl+C would.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <thread>

#include "tests/phone/phone_harness.h"
#include "tests/phone/stamped_h264.h"
#include "transport/packetizer.h"

extern char** environ;

namespace Veltrix {
namespace {

using namespace testing;

// An Xvfb of our own; it picks a free display number and tells us through a pipe.
class PrivateXvfb {
public:
    PrivateXvfb() {
        int fds[2];
        if (pipe(fds) != 0) return;
        const std::string fd = std::to_string(fds[1]);
        std::vector<std::string> args = {"Xvfb", "-displayfd", fd, "-screen", "0", "1280x720x24", "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        std::string number;
        char c;
        while (pid_ > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (!number.empty()) display_ = ":" + number;
    }
    ~PrivateXvfb() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

Window FindNamed(Display* d, Window w, const char* name) {
    char* n = nullptr;
    if (XFetchName(d, w, &n) && n) {
        const bool match = std::string(n) == name;
        XFree(n);
        if (match) return w;
    }
    Window root, parent, *kids = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(d, w, &root, &parent, &kids, &count)) {
        for (unsigned i = 0; i < count && !found; ++i) found = FindNamed(d, kids[i], name);
        if (kids) XFree(kids);
    }
    return found;
}

struct Shot {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bgra;
};

// The window's pixels as the screen shows them.
Shot Grab(Display* d, Window w) {
    Shot s;
    XWindowAttributes a{};
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable) return s;
    XImage* img = XGetImage(d, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!img) return s;
    auto channel = [](unsigned long px, unsigned long mask) {
        int shift = 0;
        while (mask && !(mask & 1)) {
            mask >>= 1;
            ++shift;
        }
        return static_cast<std::uint8_t>(((px >> shift) & mask) * 255 / (mask ? mask : 1));
    };
    s.width = a.width;
    s.height = a.height;
    s.bgra.resize(static_cast<std::size_t>(a.width) * a.height * 4);
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            const unsigned long px = XGetPixel(img, x, y);
            std::uint8_t* p = s.bgra.data() + (static_cast<std::size_t>(y) * a.width + x) * 4;
            p[0] = channel(px, img->blue_mask);
            p[1] = channel(px, img->green_mask);
            p[2] = channel(px, img->red_mask);
            p[3] = 255;
        }
    }
    XDestroyImage(img);
    return s;
}

TEST(PhoneWindowTest, ShowsTheDecodedPictureWithTheFiguresAndClosingStopsTheRun) {
    const auto units = EncodeStampedH264(20, 320, 180, 10);
    if (units.empty()) GTEST_SKIP() << "no libx264";
    PrivateXvfb xvfb;
    ASSERT_FALSE(xvfb.display().empty()) << "Xvfb did not start";
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    setenv("SDL_VIDEODRIVER", "x11", 1);
    setenv("SDL_RENDER_DRIVER", "software", 1);  // pixels XGetImage can read back
    XSetErrorHandler(&IgnoreXError);
    Display* d = XOpenDisplay(xvfb.display().c_str());
    ASSERT_TRUE(d);

    NetInit();
    const auto tmp = MakeTempDir("phone-window");
    {
        PluginSide plugin;
        auto o = PhoneFor(plugin, tmp / "tokens");
        o.show = true;
        o.quiet = true;
        o.silenceLimit = 600;  // this plug-in's heartbeat clock stands still
        PhoneIo io;
        std::atomic<bool> stop{false};
        std::atomic<int> rc{-1};
        std::thread run([&] { rc = phone::RunPhone(o, io.Make([&] { return plugin.WaitCode(); }), stop); });
        std::uint16_t port = 0;
        ASSERT_TRUE(Eventually([&] {
            std::smatch m;
            const std::string out = io.out.str();
            if (!std::regex_search(out, m, std::regex("receiving video on 127\\.0\\.0\\.1:([0-9]+)"))) return false;
            port = static_cast<std::uint16_t>(std::stoi(m[1]));
            return plugin.net->PeerKnown();
        })) << io.err.str();
        std::uint32_t seq = 0;
        std::uint16_t frame = 0;
        for (const auto& u : units) {
            FrameGroup g;
            ASSERT_TRUE(PacketizeGroup(kStreamTypeVideo, u.keyFrame, VideoParityCount(u.bytes.size()), frame++, seq, 0,
                                       u.bytes.data(), u.bytes.size(), true, g));
            for (const auto& dg : g.datagrams) plugin.net->SendDatagram(dg.data(), dg.size(), port);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Window w = 0;
        ASSERT_TRUE(Eventually([&] { return (w = FindNamed(d, DefaultRootWindow(d), "vx-phone")) != 0; }));
        // The last picture, at its own size, its stamp intact; and the figures in the lower left.
        Shot shot;
        std::optional<PatternStamp> stamp;
        const bool seen = Eventually([&] {
            shot = Grab(d, w);
            if (shot.width != 320 || shot.height != 180) return false;
            stamp = ReadStampBgra(shot.bgra.data(), shot.width, shot.height, shot.width * 4);
            if (!stamp || !(*stamp == units.back().stamp)) return false;
            for (int y = shot.height - 30; y < shot.height; ++y) {
                for (int x = 0; x < 100; ++x) {
                    const std::uint8_t* p = shot.bgra.data() + (static_cast<std::size_t>(y) * shot.width + x) * 4;
                    if (p[0] > 240 && p[1] > 240 && p[2] > 240) return true;  // a letter over the dark ramp
                }
            }
            return false;
        }, 20000);
        EXPECT_TRUE(seen) << "window " << shot.width << "x" << shot.height << ", stamp "
                          << (stamp ? std::to_string(stamp->frameIndex) : std::string("unread"));
        // The window manager's close button: the run ends cleanly, as with Ctrl+C.
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
        e.xclient.data.l[1] = CurrentTime;
        XSendEvent(d, w, False, NoEventMask, &e);
        XFlush(d);
        const bool ended = Eventually([&] { return rc != -1; }, 20000);
        if (!ended) stop.store(true);
        run.join();
        EXPECT_TRUE(ended);
        EXPECT_EQ(rc.load(), 0) << io.err.str();
        EXPECT_NE(io.out.str().find("vx-phone summary"), std::string::npos);
    }
    XCloseDisplay(d);
    std::filesystem::remove_all(tmp);
    NetShutdown();
}

}  // namespace
}  // namespace Veltrix
