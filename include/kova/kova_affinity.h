/**
 * @file
 * The process's affinity entity: a named CPU mask that threads of a level are bound to.
 */
#ifndef KOVA_KOVA_AFFINITY_H
#define KOVA_KOVA_AFFINITY_H

#include <pthread.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_AFFINITY_NAME_LEN 64u /**< size of an entity name, NUL included */

/** A named set of CPUs that threads of a process are bound to. */
typedef struct kova_affinity_entity_s {
    char name[KOVA_AFFINITY_NAME_LEN]; /**< the entity name */
    uint8_t cpumask[128];  /**< 1024 bits, bit n = CPU n */
} kova_affinity_entity_s;

/** The process's first-level entity, filled by kova_affinity_init. */
KOVA_API extern kova_affinity_entity_s g_affinityLevel_1;

/** Once per process: fills the entity for the "app_data" process. 0, or -1. */
KOVA_API int kova_affinity_init(void);
/** No level source is configured: returns -1 and fills nothing. */
KOVA_API int kova_parse_affinity_level(const char *level, kova_affinity_entity_s *entity);
/** Sets the mask bit of every comma-separated decimal number below 1024 in `text`. */
KOVA_API int kova_parse_affinity_value(const char *text, kova_affinity_entity_s *entity);
/** The entity whose name equals `name`, or null. */
KOVA_API kova_affinity_entity_s *kova_get_affinity_entity(const char *name);
/** Binds `thread` to the mask of the entity named `level`: 0, or -1. */
KOVA_API int kova_set_thread_affinity(pthread_t thread, const char *level);
/** Kept for the teardown sequence: the entities live for the process, so it does nothing and
 * returns 0. */
KOVA_API int kova_affinity_exit(void);

KOVA_EXTERN_C_END

#endif
