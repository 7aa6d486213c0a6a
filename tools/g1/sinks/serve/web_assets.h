// The page of `g1 serve`, its script and its style: plain files in tools/g1/sinks/serve/web, turned
// into constant arrays when the program is built (cmake/embed_files.cmake), so g1.exe is one file.
#pragma once

#include <span>
#include <string_view>

struct WebAsset {
    std::string_view path;  // as requested, "/index.html"
    std::string_view content_type;
    std::string_view body;
};

std::span<const WebAsset> web_assets();
