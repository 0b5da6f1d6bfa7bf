// Per-test private folders. Every test that touches files points the per-user
// folders at a fresh temporary tree so the user's real state is never read or
// written.
#pragma once

#include <filesystem>
#include <string>

namespace Veltrix::testing {

// A fresh empty folder, removed on destruction. Points the roaming and local
// data folders of this process (environment and overrides) into it.
class ScopedTestDirs {
public:
    ScopedTestDirs();
    ~ScopedTestDirs();
    ScopedTestDirs(const ScopedTestDirs&) = delete;
    ScopedTestDirs& operator=(const ScopedTestDirs&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path roaming() const { return root_ / "roaming"; }  // parent of Veltrix/
    std::filesystem::path local() const { return root_ / "local"; }      // parent of Veltrix/

private:
    std::filesystem::path root_;
};

// A unique temporary folder (created), under VX_TEST_TMP when set.
std::filesystem::path MakeTempDir(const std::string& prefix);

// Sets or unsets an environment variable in this process.
void SetEnv(const char* name, const char* value);

std::string ReadFileText(const std::filesystem::path& p);

}  // namespace Veltrix::testing
