// Thread-specific keys and one-time initialisation with every failure in the log.
#include <cerrno>

#include "init/kova_log.h"
#include "kova/kova_percpu_posix.h"

KOVA_LOG_SOURCE("percpu_posix/kova_percpu_posix")

using kova::log::kError;

namespace {

// The call's result, logged with `message` when it is not 0.
int checked(int result, const char *message, const char *caller)
{
    if (result != 0) KOVA_LOG_AS(caller, kError, "%s", message);
    return result;
}

}  // namespace

extern "C" {

int kova_pthread_init_once(pthread_once_t *once, void (*init)(void))
{
    return checked(once == nullptr || init == nullptr ? EINVAL : pthread_once(once, init), "pthread_once failed!\n",
                   __func__);
}

int kova_key_create(pthread_key_t *key, void (*destructor)(void *))
{
    return checked(key == nullptr ? EINVAL : pthread_key_create(key, destructor), "pthread_key_create failed!\n",
                   __func__);
}

int kova_key_delete(pthread_key_t key)
{
    return checked(pthread_key_delete(key), "pthread_key_delete failed!\n", __func__);
}

int kova_key_setspecific(pthread_key_t key, const void *value)
{
    if (value == nullptr) {
        KOVA_LOG(kError, "param(value) is null !\n");
        return -1;
    }
    return checked(pthread_setspecific(key, value), "pthread_setspecific failed!\n", __func__);
}

void *kova_key_getspecific(pthread_key_t key)
{
    void *value = pthread_getspecific(key);
    if (value == nullptr) KOVA_LOG(kError, "pthread_getspecific failed!\n");
    return value;
}

}  // extern "C"
