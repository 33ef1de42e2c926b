// The page's files, compiled in from web/page (see embed_assets.cmake).
#ifndef KELTO_WEB_PAGE_ASSETS_H
#define KELTO_WEB_PAGE_ASSETS_H

#include <cstddef>
#include <vector>

namespace kelto::web {

struct PageAsset {
    const char* name;         // file name, served at "/" + name
    const char* contentType;  // HTTP Content-Type
    const char* data;
    size_t size;
};

extern const std::vector<PageAsset> PAGE_ASSETS;

}  // namespace kelto::web

#endif
