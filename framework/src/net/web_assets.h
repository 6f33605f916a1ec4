// The web console's files (framework/web), compiled into the library by cmake/embed_web.cmake and
// served at "/" by every server.
#pragma once

#include <cstddef>
#include <string_view>

namespace velko::net {

struct WebAsset {
    std::string_view path;          // "/index.html", "/vendor/elk.bundled.js"
    std::string_view content_type;  // "text/html; charset=utf-8"
    std::string_view etag;          // a quoted hash of the content
    std::string_view body;
};

// The generated table.
extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

// The file served at a request path ("/" is the page itself), or null.
const WebAsset* find_web_asset(std::string_view path);

}  // namespace velko::net
