// Numbers and channel lists as the tool's arguments write them: pure functions, no board.
#ifndef QMD5820_TOOL_NUMBERS_H
#define QMD5820_TOOL_NUMBERS_H

#include <cstdint>
#include <optional>
#include <string_view>

namespace qmdtool {

// A decimal or 0x-prefixed hexadecimal integer from 0 to `max`; no sign, no spaces.
std::optional<unsigned long> ParseUnsigned(std::string_view text, unsigned long max);
std::optional<uint8_t> ParseByte(std::string_view text, unsigned long max = 0xFF);
// A finite decimal number ("1.25", "-7.5", "1e3").
std::optional<double> ParseReal(std::string_view text);

struct ChannelUse {
    uint8_t channel = 0;
    uint8_t transducer = 0;
};

// "CH:INDEX": channel 0 to 15 and a transducer index.
std::optional<ChannelUse> ParseChannelUse(std::string_view text);

}  // namespace qmdtool

#endif
