// JSON output (--json of list, info, db list, read) through nlohmann::json: keys in the
// order they are set, numbers as numbers (a value that is not finite as null), identity
// words and raw codes as "0x..." strings.
#ifndef QMD5820_TOOL_JSON_H
#define QMD5820_TOOL_JSON_H

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace qmdtool {

using Json = nlohmann::ordered_json;

// "0x0123ABCD", "0x05": hexadecimal text of `digits` digits.
inline std::string Hex(uint32_t value, int digits = 8) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*" PRIX32, digits, value);
    return text;
}

// One object on its own line of standard output. Text that is not UTF-8 (an identifier
// from a damaged board) is printed with replacement characters.
inline void PrintJson(const Json& value) {
    std::printf("%s\n", value.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

}  // namespace qmdtool

#endif
