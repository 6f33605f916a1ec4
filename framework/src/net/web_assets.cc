// Finds the web console's files by request path.
#include "net/web_assets.h"

namespace velko::net {

const WebAsset* find_web_asset(std::string_view path) {
    if (path == "/") {
        path = "/index.html";
    }
    for (size_t i = 0; i < kWebAssetCount; ++i) {
        if (kWebAssets[i].path == path) {
            return &kWebAssets[i];
        }
    }
    return nullptr;
}

}  // namespace velko::net
