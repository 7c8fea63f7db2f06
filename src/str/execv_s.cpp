#include <unistd.h>

#include <cerrno>

#include "init/kova_log.h"
#include "kova/kova_str.h"

KOVA_LOG_SOURCE("str/kova_str")

// execv runs the vector up to its terminating null whatever `argc` claims, so that is what is
// checked: a larger count would read past the vector, a smaller one would leave part of what
// runs unchecked.
extern "C" int execv_s(const char *path, int argc, char *const argv[], const char *allowed, kova_execv_check_fn check)
{
    if (path == nullptr || argv == nullptr) return -EINVAL;
    for (int i = 0; argv[i] != nullptr; ++i) {
        if (isDangerousCmd(argv[i], allowed) != 0) {
            KOVA_LOG(kova::log::kError, "execv cmd is dangerous, argv[%d] is: %s.", i, argv[i]);
            return KOVA_ERR_DANGEROUS_CMD;
        }
    }
    if (check != nullptr && check(path, argc, argv) == 0) return KOVA_ERR_DANGEROUS_CMD;
    execv(path, argv);
    return -1;
}
