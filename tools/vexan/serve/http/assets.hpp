// The page's files, built into the program (the source is generated from
// tools/vexan/web/ by cmake/EmbedFiles.cmake at build time).
#pragma once

#include <string_view>

namespace vexantool::http {

struct Asset {
    std::string_view path;  // "/index.html"
    std::string_view contentType;
    std::string_view body;
};

// The file served at `path` ("/" is "/index.html"), or null.
const Asset* FindAsset(std::string_view path);

}  // namespace vexantool::http
