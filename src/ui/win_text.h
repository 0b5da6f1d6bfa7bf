// UTF-8 <-> UTF-16 for the Win32 views.
#pragma once

#include <string>

namespace Veltrix {

// Invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace Veltrix
