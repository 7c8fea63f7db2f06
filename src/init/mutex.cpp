#include <pthread.h>

#include "kova/kova_lock.h"

extern "C" int kova_mtx_init(pthread_mutex_t *mutex, int type)
{
    int kind = 0;
    switch (type) {
    case KOVA_MTX_NORMAL: kind = PTHREAD_MUTEX_NORMAL; break;
    case KOVA_MTX_ERRORCHECK: kind = PTHREAD_MUTEX_ERRORCHECK; break;
    case KOVA_MTX_RECURSIVE: kind = PTHREAD_MUTEX_RECURSIVE; break;
    default: return -1;
    }
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, kind);
    int rc = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return rc;
}

extern "C" int kova_mtx_destroy(pthread_mutex_t *mutex) { return pthread_mutex_destroy(mutex); }
