// The path seam: every fixed absolute path of the product is built here from a root that is
// "/" in production and a temporary directory under test.
#pragma once

#include <limits.h>

namespace kova::platform {

class ProductPath {
public:
    // `absolute` starts with '/'; it is placed under the current root.
    explicit ProductPath(const char *absolute);
    const char *c_str() const { return path_; }

private:
    char path_[PATH_MAX];
};

// A null or empty root, or "/", restores production paths.
void set_path_root(const char *root);

}  // namespace kova::platform
