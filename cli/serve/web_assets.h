// The page's files, embedded at build time (web_assets.cpp is generated from
// cli/serve/web/ by embed_web.cmake).
#pragma once

#include <span>
#include <string_view>

namespace rkserve {

struct WebAsset {
    std::string_view path;  // "/index.html"
    std::string_view type;  // Content-Type
    std::string_view bytes;
};

std::span<const WebAsset> web_assets();

}  // namespace rkserve
