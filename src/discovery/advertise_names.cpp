#include "discovery/advertise_names.h"

namespace Veltrix {

namespace {
char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }
}  // namespace

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

std::u16string InstanceLabel(const std::string& name) {
    if (name.empty()) return u"Lumenfold";
    std::size_t cut = name.size();
    if (cut > kLabelMaxBytes) {
        // Never leave half a character behind: back up to the start of the one the cut splits.
        cut = kLabelMaxBytes;
        std::size_t start = cut;
        while (start > 0 && (static_cast<unsigned char>(name[start]) & 0xC0) == 0x80) --start;
        const std::size_t n = Utf8SequenceLength(static_cast<unsigned char>(name[start]));
        if (start < cut && n != 0 && start + n > cut) cut = start;
    }
    return Utf8ToUtf16(std::string_view(name).substr(0, cut));
}

std::u16string ServiceInstanceName(const std::string& name) {
    return InstanceLabel(name) + u"." + kServiceType;
}

std::u16string ServiceHostName(std::u16string dnsHostName) {
    if (dnsHostName.empty()) return u"localhost.local";
    for (auto& c : dnsHostName) c = FoldAscii(c);
    return dnsHostName + u".local";
}

std::vector<DnsSdTxtEntry> TxtRecord(const AdvertiseConfig& config) {
    return {
        {u"ver", u"4"},
        {u"id", Utf8ToUtf16(config.id)},
        {u"name", Utf8ToUtf16(config.name)},
        {u"transmit", config.transmit ? u"1" : u"0"},
    };
}

}  // namespace Veltrix
