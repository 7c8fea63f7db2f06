/**
 * @file
 * Clock modules: a tree of simulated clock dividers. The root is driven by the caller's time;
 * a child with period P fires on every P-th tick of its parent. Firing calls the module's
 * callback and then drives its children with the module's own tick count; a reset anywhere
 * restarts the counts of the whole subtree below it.
 *
 * The records belong to the caller; the library never allocates. The functions do not lock: a
 * tree is driven and changed by one thread at a time. Driving a module costs O(modules that fire)
 * plus O(children of each module that fires); a simulation step and a history print visit the
 * whole tree.
 */
#ifndef KOVA_KOVA_CLKM_H
#define KOVA_KOVA_CLKM_H

#include "kova_list.h"
#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define CLKM_FLAG_RESET 1u       /**< reset requested */
#define CLKM_FLAG_DELAY_RESET 2u /**< delay-and-reset requested */
#define CLKM_FLAG_DISABLED 4u    /**< disable requested */
#define CLKM_FLAG_PAUSED 8u      /**< the disable has taken effect */
#define CLKM_FLAG_FIRED 16u      /**< fired in the current simulation step */

#define CLKM_NAME_SIZE 32 /**< size of a module name, NUL included */
#define CLKM_HISTORY_STEPS 128 /**< simulation steps a module's history remembers */

/** Called at each firing with (time, 1 on a reset firing, argument). Returning 1 keeps the
 * children silent for this firing. */
typedef uint32_t (*clkm_callback_fn)(uint64_t time, uint32_t reset, uint64_t arg);

/** A clock module: a divider of its parent's ticks that calls its callback at each firing and drives its children. */
typedef struct clkm_module_s {
    uint64_t count;             /**< ticks since the last reset */
    uint64_t next;              /**< parent time of the next firing; while paused, the time left */
    uint32_t period;            /**< parent ticks between firings */
    uint32_t flags;             /**< CLKM_FLAG_* */
    kova_list_head_s children;  /**< child modules in registration order */
    kova_list_head_s sibling;   /**< link in the parent's children; self-linked when none */
    clkm_callback_fn callback; /**< called at each firing */
    uint64_t arg; /**< handed to the callback */
    char name[CLKM_NAME_SIZE]; /**< shown by clkm_show_simu */
    uint8_t history[CLKM_HISTORY_STEPS / 8]; /**< bit t: fired in simulation step t mod 128 */
} clkm_module_s;

/* Each returns 0, or -1 for a null module (or other null pointer named). */

/** Count 0, next 1, period 1, no flags, no children, not in a tree, the name (at most 31
 * characters; "NULL" for none), a clear history. -1 also for a null callback. Must not be called
 * on a module that is in a tree. */
KOVA_API int clkm_init(clkm_module_s *module, clkm_callback_fn callback, uint64_t arg, const char *name);
/** Appends `child` to `parent`'s children with `period` (next = period). -1 also for a null
 * child, a child already in a tree, or one that is `parent` or holds it in its subtree. */
KOVA_API int clkm_reg_child_module(clkm_module_s *parent, clkm_module_s *child, uint32_t period);
/** next += ticks. */
KOVA_API int clkm_clk_delay(clkm_module_s *module, uint64_t ticks);
/** next += ticks, and the next firing is a reset firing. */
KOVA_API int clkm_clk_delay_and_reset(clkm_module_s *module, uint64_t ticks);
/** The module fires at its next drive, as a reset firing. */
KOVA_API int clkm_reset(clkm_module_s *module);
/** Disables a module: it keeps the time it had left and resumes with it when enabled. 0, or -1
 * for null. */
KOVA_API int clkm_disable(clkm_module_s *module);
/** Enables a disabled module, which resumes with the time it had left: 0, or -1 for null. */
KOVA_API int clkm_enable(clkm_module_s *module);
/** Drives the module at its own next time: it fires unless disabled. */
KOVA_API int clkm_run(clkm_module_s *module);
/** One simulation step: clears history bit (step + 1) mod 128 in the whole tree, drives the root
 * and sets bit step mod 128 of every module that fired. */
KOVA_API int clkm_run_simu(clkm_module_s *root, uint32_t step);
/** Bit `bit` of `bitmap` (bit n is bit n mod 8 of byte n / 8): 0 or 1; -1 for a null bitmap. */
KOVA_API int clkm_test_bit(uint32_t bit, const void *bitmap);
/** Prints "%-16s: " with the name and 128 characters ('*' at step mod 128, '+' where the module
 * fired, '-' elsewhere) and a newline, then the children's lines depth first. -1 also for a null
 * printer. */
KOVA_API int clkm_show_simu(const clkm_module_s *module, uint32_t step, kova_print_fn printer);

KOVA_EXTERN_C_END

#endif
