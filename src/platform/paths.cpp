#include "platform/paths.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace kova::platform {
namespace {
std::mutex root_lock;
char root[PATH_MAX];  // empty: production
char shm_prefix[64];  // empty: production
}  // namespace

ProductPath::ProductPath(const char *absolute)
{
    std::lock_guard guard(root_lock);
    std::snprintf(path_, sizeof path_, "%s%s", root, absolute != nullptr ? absolute : "");
}

void set_path_root(const char *new_root)
{
    std::lock_guard guard(root_lock);
    if (new_root == nullptr || std::strcmp(new_root, "/") == 0) new_root = "";
    std::snprintf(root, sizeof root, "%s", new_root);
    std::size_t len = std::strlen(root);
    if (len > 0 && root[len - 1] == '/') root[len - 1] = '\0';
}

ShmName::ShmName(const char *name)
{
    std::lock_guard guard(root_lock);
    int length = std::snprintf(name_, sizeof name_, "%s%s", shm_prefix, name != nullptr ? name : "");
    fits_ = length >= 0 && length <= NAME_MAX;
}

void set_shm_prefix(const char *prefix)
{
    std::lock_guard guard(root_lock);
    std::snprintf(shm_prefix, sizeof shm_prefix, "%s", prefix != nullptr ? prefix : "");
}

}  // namespace kova::platform
