// Test helper: loads a shared library into the test process and looks up symbols.
#pragma once

#include <filesystem>
#include <string>

namespace Veltrix::testing {

class DynamicLibrary {
public:
    explicit DynamicLibrary(const std::filesystem::path& path);
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    void* Symbol(const char* name) const;

private:
    void* handle_ = nullptr;
    std::string error_;
};

}  // namespace Veltrix::testing
