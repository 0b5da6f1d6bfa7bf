// The --show window over SDL2. Every SDL call happens on the window's own
// thread (SDL wants one thread for a window and its events); other threads
// only hand it pictures and figures under a lock.
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "support/threads.h"
#include "vx-phone/overlay_font.h"
#include "vx-phone/phone_window.h"
#include "vx-phone/picture_planes.h"

namespace Veltrix::phone {
namespace {

constexpr auto kRefresh = std::chrono::milliseconds(10);

class SdlWindow final : public PhoneWindow {
public:
    ~SdlWindow() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    bool Start(std::string* error) {
        auto result = opened_.get_future();
        thread_ = std::thread([this] {
            SetCurrentThreadName("vx-phone window");
            Run(opened_);
        });
        const std::string why = result.get();
        if (!why.empty()) {
            if (error) *error = why;
            thread_.join();
            return false;
        }
        return true;
    }

    void Present(const DecodedPicture& picture) override {
        I420Picture copy;
        if (!CopyI420(picture, &copy)) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_ = std::move(copy);
            havePending_ = true;
        }
        wake_.notify_all();
    }

    void SetFigures(std::vector<std::string> lines) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            figures_ = std::move(lines);
            figuresChanged_ = true;
        }
        wake_.notify_all();
    }

    bool closed() const override { return closed_.load(); }
    std::uint64_t shown() const override { return shown_.load(); }

private:
    void Run(std::promise<std::string>& opened) {
        // Ctrl+C stays ours: SDL must not turn it into a quit event of its own.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_Init(SDL_INIT_VIDEO) != 0) {
            opened.set_value(std::string("cannot open a window: ") + SDL_GetError());
            return;
        }
        window_ = SDL_CreateWindow("vx-phone", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 640, 360,
                                   SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE);
        if (window_) renderer_ = SDL_CreateRenderer(window_, -1, 0);
        if (!window_ || !renderer_) {
            opened.set_value(std::string("cannot open a window: ") + SDL_GetError());
            Close();
            return;
        }
        SDL_SetRenderDrawBlendMode(renderer_, SDL_BLENDMODE_BLEND);
        opened.set_value({});
        bool dirty = true;
        I420Picture showing;
        std::vector<std::string> figures;
        for (;;) {
            SDL_Event e;
            while (SDL_PollEvent(&e)) {
                if (e.type == SDL_QUIT ||
                    (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_CLOSE)) {
                    closed_.store(true);
                } else if (e.type == SDL_WINDOWEVENT) {
                    dirty = true;  // exposed, resized: draw again
                }
            }
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait_for(lock, kRefresh, [&] { return stop_ || havePending_ || figuresChanged_; });
                if (stop_) break;
                if (havePending_) {
                    std::swap(showing, pending_);
                    havePending_ = false;
                    dirty = true;
                }
                if (figuresChanged_) {
                    figures = figures_;
                    figuresChanged_ = false;
                    dirty = true;
                }
            }
            if (dirty && Draw(showing, figures)) dirty = false;
        }
        Close();
    }

    // Fits the window to a new picture size once, within the screen.
    void FitWindow(int w, int h) {
        SDL_Rect bounds{0, 0, 1920, 1080};
        SDL_GetDisplayUsableBounds(SDL_GetWindowDisplayIndex(window_), &bounds);
        const double scale = std::min({1.0, 0.9 * bounds.w / w, 0.9 * bounds.h / h});
        SDL_SetWindowSize(window_, std::max(1, static_cast<int>(w * scale)), std::max(1, static_cast<int>(h * scale)));
        SDL_SetWindowPosition(window_, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED);
    }

    bool Draw(const I420Picture& p, const std::vector<std::string>& figures) {
        SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
        SDL_RenderClear(renderer_);
        int ww = 0, wh = 0;
        SDL_GetRendererOutputSize(renderer_, &ww, &wh);
        const bool picture = p.width > 0 && p.height > 0;
        if (picture) {
            // The conversion the stream signals; SDL takes it when the texture is made.
            const SDL_YUV_CONVERSION_MODE mode = p.fullRange ? SDL_YUV_CONVERSION_JPEG
                                                 : p.bt709   ? SDL_YUV_CONVERSION_BT709
                                                             : SDL_YUV_CONVERSION_BT601;
            if (p.width != texW_ || p.height != texH_ || mode != yuvMode_) {
                if (texture_) SDL_DestroyTexture(texture_);
                SDL_SetYUVConversionMode(mode);
                yuvMode_ = mode;
                texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING, p.width, p.height);
                texW_ = p.width;
                texH_ = p.height;
                FitWindow(p.width, p.height);
                SDL_GetRendererOutputSize(renderer_, &ww, &wh);
            }
            if (!texture_) return true;
            SDL_UpdateYUVTexture(texture_, nullptr, p.y.data(), p.width, p.u.data(), p.chromaWidth(), p.v.data(),
                                 p.chromaWidth());
            // Scaled to fit, centred, with black bars where the shapes differ.
            const double scale = std::min(static_cast<double>(ww) / p.width, static_cast<double>(wh) / p.height);
            SDL_Rect dst{0, 0, static_cast<int>(p.width * scale), static_cast<int>(p.height * scale)};
            dst.x = (ww - dst.w) / 2;
            dst.y = (wh - dst.h) / 2;
            SDL_RenderCopy(renderer_, texture_, nullptr, &dst);
        }
        DrawFigures(figures, ww, wh);
        SDL_RenderPresent(renderer_);
        if (picture) shown_.fetch_add(1);
        return true;
    }

    // Bottom left, clear of the stamp in the top left corner.
    void DrawFigures(const std::vector<std::string>& lines, int ww, int wh) {
        if (lines.empty()) return;
        const int s = ww >= 960 ? 2 : 1;
        const int lineH = (kGlyphHeight + 3) * s;
        std::size_t longest = 0;
        for (const auto& l : lines) longest = std::max(longest, l.size());
        const int boxW = static_cast<int>(longest) * (kGlyphWidth + 1) * s + 6 * s;
        const int boxH = static_cast<int>(lines.size()) * lineH + 4 * s;
        const SDL_Rect box{0, wh - boxH, boxW, boxH};
        SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 170);
        SDL_RenderFillRect(renderer_, &box);
        std::vector<SDL_Rect> dots;
        for (std::size_t li = 0; li < lines.size(); ++li) {
            const int y0 = box.y + 3 * s + static_cast<int>(li) * lineH;
            for (std::size_t ci = 0; ci < lines[li].size(); ++ci) {
                const auto rows = GlyphRows(lines[li][ci]);
                const int x0 = 3 * s + static_cast<int>(ci) * (kGlyphWidth + 1) * s;
                for (int r = 0; r < kGlyphHeight; ++r) {
                    for (int c = 0; c < kGlyphWidth; ++c) {
                        if (rows[r] & (1 << (kGlyphWidth - 1 - c))) dots.push_back({x0 + c * s, y0 + r * s, s, s});
                    }
                }
            }
        }
        SDL_SetRenderDrawColor(renderer_, 255, 255, 255, 255);
        if (!dots.empty()) SDL_RenderFillRects(renderer_, dots.data(), static_cast<int>(dots.size()));
    }

    void Close() {
        if (texture_) SDL_DestroyTexture(texture_);
        if (renderer_) SDL_DestroyRenderer(renderer_);
        if (window_) SDL_DestroyWindow(window_);
        texture_ = nullptr;
        renderer_ = nullptr;
        window_ = nullptr;
        SDL_Quit();
    }

    std::promise<std::string> opened_;  // empty text: the window is open
    std::thread thread_;
    // Window thread only.
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
    int texW_ = 0, texH_ = 0;

    std::mutex mutex_;  // the hand-over below
    std::condition_variable wake_;
    bool stop_ = false;
    I420Picture pending_;
    SDL_YUV_CONVERSION_MODE yuvMode_ = SDL_YUV_CONVERSION_BT601;
    bool havePending_ = false;
    std::vector<std::string> figures_;
    bool figuresChanged_ = false;

    std::atomic<bool> closed_{false};
    std::atomic<std::uint64_t> shown_{0};
};

}  // namespace

std::unique_ptr<PhoneWindow> OpenPhoneWindow(std::string* error) {
    auto w = std::make_unique<SdlWindow>();
    if (!w->Start(error)) return nullptr;
    return w;
}

}  // namespace Veltrix::phone
