// Every test of these programs writes into private folders, with the
// "transitions" topic switched on before the topic files are opened.
#include <gtest/gtest.h>

#include <memory>

#include "support/debug_topics.h"
#include "tests/testing/test_env.h"

namespace {

class PipelineTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        dirs_ = std::make_unique<Veltrix::testing::ScopedTestDirs>();
        Veltrix::testing::SetEnv("VELTRIX_DEBUG_TOPICS", "transitions");
        Veltrix::InitDebugTopics();
    }
    void TearDown() override { dirs_.reset(); }

private:
    std::unique_ptr<Veltrix::testing::ScopedTestDirs> dirs_;
};

const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new PipelineTestEnvironment);

}  // namespace
