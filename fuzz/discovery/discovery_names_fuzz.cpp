// Arbitrary bytes as browse answers and names: the UTF-8/UTF-16 conversions,
// the 40-byte label cut and the self-heal's matching must never crash, and
// text that survives one round trip must survive the next unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "discovery/advertise_names.h"
#include "discovery/self_heal.h"
#include "support/clock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Veltrix;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string wide = Utf8ToUtf16(bytes);
    const std::string narrow = Utf16ToUtf8(wide);
    if (Utf16ToUtf8(Utf8ToUtf16(narrow)) != narrow) __builtin_trap();
    // The same bytes read as UTF-16 code units (unpaired surrogates included).
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    const std::string fromUnits = Utf16ToUtf8(units);
    if (Utf16ToUtf8(Utf8ToUtf16(fromUnits)) != fromUnits) __builtin_trap();
    if (Utf16ToUtf8(InstanceLabel(narrow)).size() > kLabelMaxBytes && !narrow.empty()) __builtin_trap();

    SelfHeal heal(Clock::Real());
    heal.Watch(ServiceInstanceName(narrow));
    std::vector<std::u16string> answer;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= wide.size(); ++i) {
        if (i == wide.size() || wide[i] == u';') {
            answer.push_back(wide.substr(start, i - start));
            start = i + 1;
        }
    }
    heal.OnAnswer(answer);
    heal.OnAnswer({units});
    (void)heal.TakeRepublishDue();
    return 0;
}
