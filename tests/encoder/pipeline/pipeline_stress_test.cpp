// One thread encodes at full speed, one changes settings and requests
// transitions, one stops the pipeline at a random moment. Run under TSan.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "encoder/encoder_pipeline.h"
#include "tests/encoder/pipeline/scripted_encoder.h"

namespace Veltrix {
namespace {

using testing::ScriptedEncoder;
using testing::ScriptedFrame;
using testing::ScriptedStats;

// Aborts the process when a round does not finish in time: a deadlock shows up
// as a failed test with a message, not as a hung test run.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!signal_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: pipeline stress round did not finish — deadlock?\n");
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        signal_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable signal_;
    bool done_ = false;
    std::thread thread_;
};

void RunRound(unsigned seed) {
    auto stats = std::make_shared<ScriptedStats>();
    stats->emitOnTeardown = true;
    std::mutex outMutex;
    uint32_t lastId = 0;
    bool any = false;
    int outOfOrder = 0, strays = 0, forwarded = 0;

    {
        auto first = std::make_unique<ScriptedEncoder>(stats, 0);
        first->Configure(1920, 1080, 8'000'000, 30);
        auto pipeline = std::make_shared<EncoderPipeline>(std::move(first));
        pipeline->SetOutputCallback([&](const uint8_t* d, size_t n, bool, uint64_t) {
            ScriptedFrame f{};
            std::lock_guard<std::mutex> lock(outMutex);
            if (!testing::DecodeScripted(d, n, &f)) return;
            ++forwarded;
            if (f.id == testing::kStrayId) {
                ++strays;
                return;
            }
            if (any && f.id <= lastId) ++outOfOrder;
            lastId = f.id;
            any = true;
        });

        std::atomic<bool> stopped{false};
        std::thread encoder([&] {
            for (uint32_t id = 0; !stopped.load(); ++id) {
                if (id == testing::kStrayId) continue;
                pipeline->Encode(nullptr, 1920, 1080, 1920 * 4, id);
            }
        });
        std::thread control([&, seed] {
            std::mt19937 rng(seed);
            const int sizes[][2] = {{1280, 720}, {960, 540}, {640, 360}, {1920, 1080}};
            while (!stopped.load()) {
                switch (rng() % 9) {
                    case 0:
                    case 1: {
                        const auto* s = sizes[rng() % 4];
                        EncoderConfig cfg;
                        cfg.width = s[0];
                        cfg.height = s[1];
                        cfg.codec = static_cast<int>(rng() % 2);
                        cfg.gopSize = (rng() % 2) ? 1 : 600;
                        cfg.bitrateBps = 1'000'000 + rng() % 1000;
                        stats->cloneLagFrames = static_cast<int>(rng() % 3);
                        pipeline->RequestTransition(cfg);
                        break;
                    }
                    case 2: pipeline->SetCodec(static_cast<int>(rng() % 2)); break;
                    case 3: pipeline->SetGopSize(static_cast<int>(rng() % 10)); break;
                    case 4: pipeline->SetRateControl(static_cast<int>(rng() % 3), 0.5f); break;
                    case 5: pipeline->RequestKeyframe(); break;
                    case 6: pipeline->EmergencyCompress(3); break;
                    case 7: stats->failClone = (rng() % 4) == 0; break;
                    case 8: {
                        if (rng() % 8 == 0) {
                            EncoderConfig cfg;
                            cfg.width = 800;
                            cfg.height = 450;
                            pipeline->ReconfigureInPlace(cfg);
                        }
                        (void)pipeline->Width();
                        (void)pipeline->Description();
                        break;
                    }
                }
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
            }
        });
        std::thread stopper([&, seed] {
            std::mt19937 rng(seed * 7919u);
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 200));
            pipeline->Stop();
            // Keep the other threads calling into the stopped pipeline a moment longer.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            stopped = true;
        });
        stopper.join();
        encoder.join();
        control.join();
        pipeline.reset();
    }

    EXPECT_EQ(strays, 0) << "a retired encoder's output reached downstream";
    EXPECT_EQ(outOfOrder, 0) << "duplicated or reordered frames downstream";
    EXPECT_GT(forwarded, 0);
    std::lock_guard<std::mutex> lock(stats->mutex);
    const int created = stats->created.load();
    for (int serial = 1; serial <= created; ++serial) {
        EXPECT_EQ(stats->teardowns[serial], 1) << "encoder " << serial << " seed " << seed;
        EXPECT_EQ(stats->destroyed[serial], 1) << "encoder " << serial << " seed " << seed;
    }
}

TEST(EncoderPipelineStressTest, ConcurrentEncodeTransitionsSettingsAndStop) {
    Watchdog watchdog(std::chrono::seconds(120));
    // VX_STRESS_SEED replays a failed run.
    const char* fixed = std::getenv("VX_STRESS_SEED");
    const unsigned base = fixed ? static_cast<unsigned>(std::strtoul(fixed, nullptr, 10)) : std::random_device{}();
    std::printf("stress base seed %u\n", base);
    for (unsigned round = 0; round < 12; ++round) RunRound(base + round);
}

}  // namespace
}  // namespace Veltrix
