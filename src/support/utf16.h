// UTF-8 and UTF-16 conversions, lenient: what cannot be converted becomes U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Veltrix {

// Length of the UTF-8 sequence starting with lead (0 for a byte that cannot lead one).
std::size_t Utf8SequenceLength(unsigned char lead);
// UTF-8 to UTF-16; each malformed byte becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view s);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view s);

}  // namespace Veltrix
