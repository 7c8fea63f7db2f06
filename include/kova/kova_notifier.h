/**
 * @file
 * Notifier chains: components register nodes on a chain and have their handlers called, in
 * priority order, when the chain's event happens. One chain is built in, the exception chain,
 * which the fatal-signal path calls with the dying thread's signal information and registers.
 *
 * - A chain is a caller-owned record (static or embedded); initialise it with
 *   KOVA_NOTIFIER_CHAIN_INITIALIZER(name).
 * - A node belongs to the registering component and must stay valid, and must not be
 *   registered on another chain, while it is registered. Registering a node that is already on
 *   the chain is refused (logged) so the list can never loop.
 * - The chain's spin lock serialises registration, removal and calls, and is held while the
 *   handlers run, on the calling thread: a handler must be short, must not block, and must not
 *   register or unregister on the chain that is calling it (it would wait for itself).
 * - Registration and removal cost O(n) in the chain's length; a call O(handlers called).
 *
 * The functions ending in "__" take the caller's source file and line for their log lines;
 * the macros below supply them.
 */
#ifndef KOVA_KOVA_NOTIFIER_H
#define KOVA_KOVA_NOTIFIER_H

#include "kova_lock.h"
#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** A handler result with this bit set stops the call: no further handler runs. */
#define KOVA_NOTIFY_STOP_MASK 0x8000u

struct kova_notifier_node_s;

/** Called with the node, the chain call's action and data; returns the handler's result. */
typedef uint32_t (*kova_notifier_fn)(struct kova_notifier_node_s *node, unsigned long action, void *data);

/** A handler of a notifier chain, embedded by the caller. */
typedef struct kova_notifier_node_s {
    kova_notifier_fn func; /**< the handler */
    struct kova_notifier_node_s *next; /**< next node of lower or equal priority */
    uint16_t priority;                 /**< higher runs earlier; equal ones in registration order */
} kova_notifier_node_s;

/** A notifier chain: handlers in priority order under a spinlock. */
typedef struct kova_notifier_chain_s {
    const char *name;      /**< used in log lines */
    kova_spinlock_s lock;  /**< guards the list; held while handlers run */
    kova_notifier_node_s *head; /**< the highest-priority node; null for an empty chain */
} kova_notifier_chain_s;

/** Initialiser of an empty chain named `chain_name`. */
#define KOVA_NOTIFIER_CHAIN_INITIALIZER(chain_name) {(chain_name), KOVA_SPINLOCK_INITIALIZER, NULL}

/** The data block handed to the exception chain's handlers, built by kova_exception_call_chain. */
typedef struct kova_exception_data_s {
    void *regs;      /**< register record of the dying thread (all zero without a context) */
    void *siginfo;   /**< the signal information */
    uint64_t value;  /**< passed through (0 on the signal path) */
    uint32_t value2; /**< passed through (0 on the signal path) */
    uint32_t signo;  /**< passed through (the signal number on the signal path) */
} kova_exception_data_s;

/** Links `node` in front of the first node of lower priority. Null chain or node: nothing.
 * Always returns 0; logs the registration at level 6. */
KOVA_API int32_t kova_atomic_notifier_chain_register__(kova_notifier_chain_s *chain, kova_notifier_node_s *node,
                                                       const char *file, int32_t line);
/** Removes `node`: 0 when it was on the chain, -2 when it was not (chain unchanged), 0 for a
 * null chain or node. The removed node's `next` is left as it was. */
KOVA_API int32_t kova_atomic_notifier_chain_unregister__(kova_notifier_chain_s *chain, kova_notifier_node_s *node,
                                                         const char *file, int32_t line);
/** Calls at most `nrToCall` handlers (all ones: every one) with `action` and `data`, in order,
 * under the chain's lock, stopping after a result with KOVA_NOTIFY_STOP_MASK. Adds the number
 * called to *nrCalls when given. Returns the last handler's result; 0 when none ran or the
 * chain is null. */
KOVA_API uint32_t kova_atomic_notifier_call_chain__(kova_notifier_chain_s *chain, unsigned long action, void *data,
                                                    uint32_t nrToCall, uint32_t *nrCalls);

/** Registration on the exception chain ("kova_exception_chain"), as
 * kova_atomic_notifier_chain_register__ on that chain. */
KOVA_API int32_t kova_exception_chain_register__(kova_notifier_node_s *node, const char *file, int32_t line);
/** Removal from the exception chain, as kova_atomic_notifier_chain_unregister__ on that chain. */
KOVA_API int32_t kova_exception_chain_unregister__(kova_notifier_node_s *node, const char *file, int32_t line);
/** Calls every exception handler with a kova_exception_data_s made of the arguments. Tries the
 * chain's lock once only, since the caller may be a signal handler that interrupted its holder:
 * returns -1 (logged with the holder's kernel tid) without calling anything when it is held,
 * else the last handler's result. Async-signal-safe: its log lines go through the raw writer
 * (when module 381's level admits level 6), and so must the handlers'. */
KOVA_API int32_t kova_exception_call_chain(unsigned long action, void *siginfo, void *regs, uint64_t value,
                                           uint32_t value2, uint32_t signo);

/** Registers `node` on `chain`, naming the caller's file and line in diagnostics. */
#define kova_atomic_notifier_chain_register(chain, node) \
    kova_atomic_notifier_chain_register__((chain), (node), __FILE__, __LINE__)
/** Takes `node` off `chain`, naming the caller's file and line in diagnostics. */
#define kova_atomic_notifier_chain_unregister(chain, node) \
    kova_atomic_notifier_chain_unregister__((chain), (node), __FILE__, __LINE__)
/** Calls every handler of `chain` with `action` and `data`, in priority order. */
#define kova_atomic_notifier_call_chain(chain, action, data) \
    kova_atomic_notifier_call_chain__((chain), (action), (data), 0xFFFFFFFFu, NULL)
/** Registers `node` on the exception chain. */
#define kova_exception_chain_register(node) kova_exception_chain_register__((node), __FILE__, __LINE__)
/** Takes `node` off the exception chain. */
#define kova_exception_chain_unregister(node) kova_exception_chain_unregister__((node), __FILE__, __LINE__)

KOVA_EXTERN_C_END

#endif
