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

// The name of a POSIX shared-memory object: the name itself in production, the name behind a
// test's prefix under test (so tests never touch the product's objects in /dev/shm).
class ShmName {
public:
    explicit ShmName(const char *name);
    const char *c_str() const { return name_; }
    // False when the whole name is longer than the system's NAME_MAX (c_str() is then cut).
    bool fits() const { return fits_; }

private:
    char name_[NAME_MAX + 1];
    bool fits_;
};

// A null prefix restores production names.
void set_shm_prefix(const char *prefix);

}  // namespace kova::platform
