// How the commands declare their arguments on CLI11 (see arguments.h).
#include "common/arguments.h"

namespace qmdtool {

CLI::Validator Expect(std::function<bool(const std::string&)> ok, const std::string& expected) {
    return CLI::Validator(
        [ok = std::move(ok), expected](std::string& text) {
            return ok(text) ? std::string() : "expected " + expected + ", got '" + text + "'";
        },
        "", "");
}

CLI::Validator Unsigned(unsigned long min, unsigned long max, const std::string& what) {
    return Expect(
        [min, max](const std::string& text) {
            const std::optional<unsigned long> value = ParseUnsigned(text, max);
            return value && *value >= min;
        },
        what + " from " + std::to_string(min) + " to " + std::to_string(max) +
            " (decimal or 0x-hexadecimal)");
}

const CLI::Validator& BoardIndex() {
    static const CLI::Validator board = Unsigned(0, 255, "a board index");
    return board;
}

const CLI::Validator& Real() {
    static const CLI::Validator real =
        Expect([](const std::string& text) { return ParseReal(text).has_value(); },
               "a finite decimal number");
    return real;
}

const CLI::Validator& NotEmpty() {
    static const CLI::Validator file =
        Expect([](const std::string& text) { return !text.empty(); }, "a file name");
    return file;
}

const CLI::Validator& ChannelUseText() {
    static const CLI::Validator use =
        Expect([](const std::string& t) { return ParseChannelUse(t).has_value(); },
               "CH:INDEX (channel 0 to 15, transducer index 0 to 255)");
    return use;
}

unsigned long Number(const std::string& text) { return ParseUnsigned(text, ~0UL).value_or(0); }

void AddChannelUses(CLI::App& command, std::vector<std::string>& texts) {
    command.add_option("CH:INDEX", texts, "channel CH with transducer type INDEX")
        ->required()
        ->type_name("")
        ->check(ChannelUseText());
}

std::string ChannelUses(const std::vector<std::string>& texts, std::vector<ChannelUse>& uses) {
    uses.clear();
    for (const std::string& text : texts) {
        const ChannelUse use = *ParseChannelUse(text);
        for (const ChannelUse& listed : uses) {
            if (listed.channel == use.channel) {
                return "CH:INDEX: channel " + std::to_string(use.channel) + " is listed twice";
            }
        }
        uses.push_back(use);
    }
    return {};
}

}  // namespace qmdtool
