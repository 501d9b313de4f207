// How the commands declare their arguments on CLI11: validators that say what was expected
// (so an error names the argument and the reason), and the channel list of read, watch and
// acquire.
#ifndef QMD5820_TOOL_ARGUMENTS_H
#define QMD5820_TOOL_ARGUMENTS_H

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/numbers.h"

namespace qmdtool {

// Accepts what `ok` accepts and otherwise says "expected EXPECTED, got 'TEXT'".
CLI::Validator Expect(std::function<bool(const std::string&)> ok, const std::string& expected);
// An integer from `min` to `max`, decimal or 0x-hexadecimal.
CLI::Validator Unsigned(unsigned long min, unsigned long max, const std::string& what);
const CLI::Validator& BoardIndex();
const CLI::Validator& Real();
const CLI::Validator& NotEmpty();  // a file name
const CLI::Validator& ChannelUseText();

// The value of a text the validators accepted (0 for one they would refuse).
unsigned long Number(const std::string& text);

// The channel list "CH:INDEX..." as a required positional of `command`, bound to `texts`.
void AddChannelUses(CLI::App& command, std::vector<std::string>& texts);
// The channel list converted; an error text when a channel repeats.
std::string ChannelUses(const std::vector<std::string>& texts, std::vector<ChannelUse>& uses);

}  // namespace qmdtool

#endif
