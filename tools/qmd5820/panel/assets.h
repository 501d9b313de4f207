// The panel's page files (HTML, script, style and the charting library), compiled into the
// executable by the build (cmake/embed_files.cmake): the tool needs nothing beside it.
#ifndef QMD5820_PANEL_ASSETS_H
#define QMD5820_PANEL_ASSETS_H

#include <span>
#include <string_view>

namespace qmdpanel {

struct EmbeddedFile {
    std::string_view name;     // the path the server answers, without the leading '/'
    std::string_view content;
};

std::span<const EmbeddedFile> EmbeddedFiles();

// The Content-Type for a file name by its extension.
std::string_view ContentType(std::string_view name);

}  // namespace qmdpanel

#endif
