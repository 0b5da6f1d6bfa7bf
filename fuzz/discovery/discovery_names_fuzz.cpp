// Arbitrary bytes as browse answers and names: the UTF-8/UTF-16 conversions,
// the 40-byte label cut and the self-heal's matching must never crash, and
// text that survives one round trip must survive the next unchanged. Our own
// instance is recognised in any ASCII case; answers without it arm a re-publish,
// at most once an interval.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "discovery/advertise_names.h"
#include "discovery/self_heal.h"
#include "discovery/service_advertiser.h"
#include "support/clock.h"
#include "tests/testing/manual_clock.h"

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

    // The TXT record carries the whole name, not the label's cut; the host name is lower case.
    const std::vector<DnsSdTxtEntry> txt = TxtRecord({narrow, narrow, size % 2 == 0});
    if (txt.size() != 4 || Utf16ToUtf8(txt[1].value) != narrow || Utf16ToUtf8(txt[2].value) != narrow) __builtin_trap();
    const std::u16string host = ServiceHostName(units);
    if (host.size() < 6 || host.compare(host.size() - 6, 6, u".local") != 0) __builtin_trap();
    for (const char16_t c : host) {
        if (c >= u'A' && c <= u'Z') __builtin_trap();
    }

    testing::ManualClock clock;
    SelfHeal mine(clock);
    const std::u16string ours = ServiceInstanceName(narrow);
    std::u16string flipped = ours;
    for (char16_t& c : flipped) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        else if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    mine.Watch(ours);
    if (mine.Name() != ours) __builtin_trap();
    if (!EqualsIgnoreCase(units, ours)) {
        for (int i = 0; i < SelfHeal::kMissesForAbsent; ++i) mine.OnAnswer({units});
        if (mine.Present() || mine.Misses() != SelfHeal::kMissesForAbsent || mine.TakeRepublishDue()) __builtin_trap();
        clock.Advance(SelfHeal::kRepublishInterval);
        if (!mine.TakeRepublishDue() || mine.TakeRepublishDue()) __builtin_trap();
    }
    mine.OnAnswer({units, flipped});
    if (!mine.Present() || mine.Misses() != 0 || mine.TakeRepublishDue()) __builtin_trap();
    return 0;
}
