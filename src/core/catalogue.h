// The error catalogue: (function name, result code) -> message.
#pragma once

#include <cstdint>
#include <span>

namespace qmd {

struct CatalogueRow {
    int32_t code;
    const char* message;
};

struct CatalogueEntry {
    const char* function_name;
    std::span<const CatalogueRow> rows;  // row -1 is implied for every entry
};

inline constexpr const char* kInvalidHandleMessage = "The h_DeviceHandle parameter is invalid";
inline constexpr const char* kNoErrorMessage = "No error.";
inline constexpr const char* kFallbackMessage =
    "Internal or undocumented error, please contact Arcadia Measurement Systems "
    "(support@arcadia-measure.example)";

// Every catalogued function with its own rows.
std::span<const CatalogueEntry> Catalogue();

// The message for a recorded pair, or nullptr when the catalogue has no row for it (the
// caller then uses kFallbackMessage). Code -1 has a row for every catalogued name.
const char* CatalogueMessage(const char* function_name, int32_t code);

}  // namespace qmd
