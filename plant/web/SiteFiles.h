#pragma once
// The pages, scripts and styles compiled into the program (generated at
// build time from plant/web/site and the chart library npm installed).
#include <cstddef>

namespace tav::plant {

struct SiteFile {
    const char *path;  // as requested, "/app.js"
    const char *type;  // Content-Type
    const unsigned char *data;
    size_t size;
};

extern const SiteFile kSiteFiles[];
extern const size_t kSiteFileCount;

}  // namespace tav::plant
