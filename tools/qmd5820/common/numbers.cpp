// Numbers and channel lists of the tool's arguments (see numbers.h).
#include "common/numbers.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace qmdtool {

std::optional<unsigned long> ParseUnsigned(std::string_view text, unsigned long max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (ec != std::errc() || ptr != end || value > max) return std::nullopt;
    return value;
}

std::optional<uint8_t> ParseByte(std::string_view text, unsigned long max) {
    const std::optional<unsigned long> value = ParseUnsigned(text, max);
    if (!value) return std::nullopt;
    return static_cast<uint8_t>(*value);
}

std::optional<double> ParseReal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<ChannelUse> ParseChannelUse(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::optional<uint8_t> channel = ParseByte(text.substr(0, colon), 15);
    const std::optional<uint8_t> transducer = ParseByte(text.substr(colon + 1));
    if (!channel || !transducer) return std::nullopt;
    return ChannelUse{*channel, *transducer};
}

}  // namespace qmdtool
