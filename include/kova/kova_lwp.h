/**
 * @file
 * LWP instances and variables: named, reference-counted units of work state inside a process,
 * each carrying its own copy of the variables registered for its domain, optionally owning a
 * thread, and attachable to any thread as its current context.
 *
 * Instance ids (64 bits):
 *
 *   bits    content
 *   63..60  domain type, 0 to 2
 *   59..32  sequence number: low 28 bits of a process-wide creation counter
 *   31..16  slot index in the domain's table
 *   15..0   LWP_INST_ID_LIVE while the instance lives, LWP_INST_ID_DEAD after deletion
 *
 * so an id that outlived its instance never reaches the instance that reuses the slot. Id 0
 * means the calling thread's current instance wherever an id is looked up.
 *
 * Each domain has a table of LwpCfgSetMaxInstNum slots (default 16), allocated by
 * LwpModuleInit; configure before initialising. A slot's reference count and state are one
 * 64-bit word changed only by compare-and-swap, so taking a reference and starting a deletion
 * exclude each other: once deletion has begun no reference can be taken, and deletion waits
 * for the held ones. Taking or dropping a reference is a look-up (a few loads) and one
 * compare-and-swap; no lock.
 *
 * Variable ids (64 bits): bits 51..32 the variable's index in its domain, 26..23 the domain,
 * 22..0 the byte position of its 8-byte slot (index x 8). A variable is registered once per
 * domain with an initial value of at most 8 bytes and an optional constructor and destructor;
 * instances that exist construct it at once, later instances at creation, and deletion runs
 * the destructors last first. LwpVarRaw turns (instance, variable) into the slot's address
 * without a lock.
 *
 * Diagnostics ("show" functions) print through a caller-supplied printf-like function.
 */
#ifndef KOVA_KOVA_LWP_H
#define KOVA_KOVA_LWP_H

#include <pthread.h>

#include "kova_lock.h"
#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** Number of instance domains (types 0, 1 and 2), each with its own tables. */
#define LWP_DOMAIN_TYPES 3u
#define LWP_INST_ID_INVALID UINT64_MAX /**< failed creation, no current instance */
/** Low 16 bits of the id of an instance that lives. */
#define LWP_INST_ID_LIVE 0x4c70u
/** Low 16 bits of a slot's id once its instance has been deleted. */
#define LWP_INST_ID_DEAD 0x446cu
#define LWP_INST_NAME_LEN 64u        /**< 63 characters and a NUL */
/** Instance table size of each domain unless LwpCfgSetMaxInstNum sets another. */
#define LWP_INST_MAX_DEFAULT 16
/** Variable capacity of each domain unless LwpCfgSetMaxVarNum sets another. */
#define LWP_VAR_MAX_DEFAULT 4096
/** Largest variable in bytes: every variable has one 8-byte slot per instance. */
#define LWP_VAR_SIZE_MAX 8u
/** Variable id returned when a registration fails; no variable has it. */
#define LWP_VAR_ID_INVALID UINT64_MAX
#define LWP_DELETE_TIMED_OUT (-109)  /**< LwpInstDelete: references still held; the slot is a zombie */
/** Entries of each call-site statistics table; callers past it share the last entry. */
#define LWP_AUTOSTAT_ENTRIES 1024u

/** @{ */
/** Slot states: the high half of the reference/state word. */
#define LWP_INST_FREE 0u
#define LWP_INST_ALLOCATED 1u     /**< claimed by LwpInstNew */
#define LWP_INST_CONSTRUCTING 2u  /**< variable constructors running */
#define LWP_INST_NORMAL 4u        /**< references can be taken */
#define LWP_INST_DELETING 8u      /**< LwpInstDelete waits for the references */
#define LWP_INST_ZOMBIE 16u       /**< deletion timed out; never reused until deleted again */
/** @} */

/** One instance slot (see struct LwpInstInfo). */
typedef struct LwpInstInfo LwpInstInfo;

/** Run by an instance's own thread, which has the instance as its current context. */
typedef void (*LwpInstThreadFn)(void *arg, LwpInstInfo *inst);
/** Variable constructor and destructor: 0 for success. */
typedef int32_t (*LwpVarFn)(uint64_t instId, uint64_t arg);
/** Called for each instance by the for-each walks; a non-zero result stops the walk. */
typedef int32_t (*LwpInstForEachFn)(uint64_t instId, void *arg);

/** An instance's copy of its domain's variables. */
typedef struct LwpInstVars {
    uint64_t *slots;       /**< capacity x 8 bytes, zeroed at allocation */
    uint32_t capacity;     /**< the domain's variable capacity */
    uint32_t constructed;  /**< variables 0..constructed-1 are copied and constructed */
    int32_t ctorBusy;      /**< 1 while a thread runs this instance's constructors */
    uint32_t reserved;     /**< padding, zero */
} LwpInstVars;

/** One instance slot. The library owns it; callers read it. */
struct LwpInstInfo {
    uint64_t refsState;           /**< low half reference count, high half LWP_INST_* state */
    uint64_t instId;              /**< the instance's id (LWP_INST_ID_DEAD in its low bits once deleted) */
    LwpInstVars vars;             /**< the instance's copy of its domain's variables */
    char name[LWP_INST_NAME_LEN];  /**< "None" when created without a name */
    pthread_t thread;             /**< the instance's own thread; all ones without one */
    LwpInstThreadFn threadFunc;   /**< function of the instance's own thread, or null */
    void *threadArg;              /**< argument given to threadFunc */
};

/** The constructor record given at registration. */
typedef struct LwpVarCtor {
    LwpVarFn ctor;     /**< run for each instance when its copy is made; null for none */
    uint64_t ctorArg;  /**< second argument of ctor */
    LwpVarFn dtor;     /**< run for each instance at its deletion; null for none */
    uint64_t dtorArg;  /**< second argument of dtor */
} LwpVarCtor;

/** One registered variable. */
typedef struct LwpVarInfo {
    const char *name;  /**< not copied: the registering caller keeps it alive */
    uint64_t varId;    /**< the variable's id */
    LwpVarFn ctor;     /**< constructor from the registration, or null */
    uint64_t ctorArg;  /**< second argument of ctor */
    LwpVarFn dtor;     /**< destructor from the registration, or null */
    uint64_t dtorArg;  /**< second argument of dtor */
} LwpVarInfo;

/** The variable locks of domains 0, 1, 2: registration and copying of initial values. */
KOVA_API extern kova_spinlock_s gLwpVarLock[LWP_DOMAIN_TYPES];

/* ---- module and configuration (configure before LwpModuleInit) ---- */

/** n from 1 to 65535 becomes the instance table size of each domain: 0; otherwise -1. */
KOVA_API int32_t LwpCfgSetMaxInstNum(int32_t n);
/** n from 1 to 65535 becomes the variable capacity of each domain: 0; otherwise -1. */
KOVA_API int32_t LwpCfgSetMaxVarNum(int32_t n);
/** 1 records every LwpCtxAttach in the thread's switch log; 0 (the default) does not. Returns 0. */
KOVA_API int32_t LwpCfgSetCtxTraceState(uint32_t state);
/** Once per process: time base, variable tables, instance tables, exception hook. 0 or -1
 * (logged, a later call retries); 0 at once when done. */
KOVA_API int32_t LwpModuleInit(void);
/** 0 when initialised, else -1. */
KOVA_API int32_t LwpIsModuleInited(void);
/** The instance part of LwpModuleInit: allocates each domain's instance table; 0, or -1 when an
 * allocation fails. Does nothing (0) once done. */
KOVA_API int32_t LwpInstModuleInit(void);
/** The variable part of LwpModuleInit: allocates each domain's variable tables and initial values;
 * 0, or -1 when an allocation fails (logged). Does nothing (0) once done. */
KOVA_API int32_t LwpVarModuleInit(void);
/** The diagnostic part of LwpModuleInit: registers LwpExceptNotifyFn on the exception chain (only
 * the first call does); returns 0. */
KOVA_API int32_t LwpDebugInit(void);

/* ---- instances ---- */

/** Creates an instance in `domainType` named `name` (at most 63 characters kept; null gives
 * "None"); `unused` is ignored. Its variables are copied from their initial values and
 * constructed. With `threadFunc`, a thread is started that runs threadFunc(threadArg, slot)
 * with the instance current; LwpInstDelete joins it. Returns the id, or LWP_INST_ID_INVALID for
 * a bad domain, a full table, an allocation, constructor or thread failure (nothing kept). */
KOVA_API uint64_t LwpInstNew(const char *name, uint32_t domainType, uint32_t unused,
                             LwpInstThreadFn threadFunc, void *threadArg);
/** Deletes an instance: no new reference can be taken, the held ones are waited for (the
 * call-site statistics are logged after 1 s, 3 s, 6 s, ... of waiting), its thread is joined and
 * its destructors run. timeoutMs < 0 waits for ever. Returns 0; -1 for an id not found, an
 * instance already deleted or being deleted or still being created; LWP_DELETE_TIMED_OUT when
 * references were still held at the time-out (the slot becomes a zombie; delete it again once
 * they are dropped); or a destructor's failure (the slot stays deleting). An instance's own
 * thread must not wait for its instance's deletion with references held. */
KOVA_API int32_t LwpInstDelete(uint64_t instId, int32_t timeoutMs);
/** Takes a reference on a normal instance: 0, or -1 (not found, not normal, count at all ones). */
KOVA_API int32_t LwpInstGet(uint64_t instId);
/** Drops a reference (in any state but free): 0, or -1 (not found, free, count 0). */
KOVA_API int32_t LwpInstPut(uint64_t instId);
/** The instance's slot, or null (logged, rate-limited) for an id that is stale, of a bad domain
 * or out of range. Id 0: the calling thread's current instance. Holds no reference. */
KOVA_API LwpInstInfo *LwpInstInfoFind(uint64_t instId);
/** Calls fn(id, arg) for each normal instance of the domain in slot order, holding a reference
 * during the call; first waits (10 ms at a time) while a slot's state has a bit of `waitMask`.
 * Returns 0, -1 for a null fn or a bad domain, or the first non-zero result of fn. */
KOVA_API int32_t LwpInstForEachNormal(LwpInstForEachFn fn, uint32_t domainType, void *arg, uint32_t waitMask);
/** The same walk as LwpInstForEachNormal: fn(id, arg) for each normal instance of the domain, with
 * the same waiting and results. */
KOVA_API int32_t LwpInstForEach(LwpInstForEachFn fn, uint32_t domainType, void *arg, uint32_t waitMask);
/** The instance's name, or null (logged). */
KOVA_API const char *LwpInstGetName(uint64_t instId);
/** The domain of an id (0: of the current instance): 0 to 2, or 3 when invalid or none. */
KOVA_API uint32_t LwpGetInstIdDomainType(uint64_t instId);

/* ---- contexts of the calling thread ---- */

/** The current instance's id, or LWP_INST_ID_INVALID without one. */
KOVA_API uint64_t LwpCtxCurrent(void);
/** Stores the current id through `oldInstId` when given. A new id of LWP_INST_ID_INVALID clears
 * the current instance; another non-zero id makes its instance current (none when not found);
 * 0 changes nothing. Returns 0. With tracing on, each change is recorded in the thread's
 * switch log (threads with a thread record only). */
KOVA_API int32_t LwpCtxAttach(uint64_t newInstId, uint64_t *oldInstId);
/** Records one switch, with 9 return addresses, in the calling thread's switch log. */
KOVA_API void LwpCtxDbgSwitch(uint64_t oldInstId, uint64_t newInstId);
/** With tracing on, prints the calling thread's last three switches, oldest first. */
KOVA_API void LwpCtxSwitchShow(kova_print_fn print);

/* ---- diagnostics ---- */

struct kova_notifier_node_s;
/** The exception-chain handler: prints the dying thread's switch log through kovalog_original
 * and returns 1, so the chain goes on. Signal-safe apart from the printer. */
KOVA_API uint32_t LwpExceptNotifyFn(struct kova_notifier_node_s *node, unsigned long action, void *data);

/** Call-site statistics of reference taking. `site` is the caller's own static pointer: on first
 * use it is pointed at a new entry (return address, count) of the "LWP_GET_INST" table (at the
 * last entry once the table is full); the caller then counts through it. LWP_INST_GET_COUNTED
 * does both. A null site is ignored. */
KOVA_API void LwpAutoStatGetInst(uint64_t **site);
/** Call-site statistics of reference dropping: as LwpAutoStatGetInst, with the "LWP_PUT_INST"
 * table. LWP_INST_PUT_COUNTED does both. */
KOVA_API void LwpAutoStatPutInst(uint64_t **site);
/** Prints both tables' used entries, each line ending with `suffix`. */
KOVA_API void LwpShowAutoStatAll(kova_print_fn print, const char *suffix);

/** Counts the call site in statistics table `stat`, then calls call(id) and gives its result. */
#define LWP_INST_COUNTED_(stat, call, id)                                                    \
    __extension__({                                                                          \
        static uint64_t *lwp_site_;                                                          \
        stat(&lwp_site_);                                                                    \
        __atomic_fetch_add(__atomic_load_n(&lwp_site_, __ATOMIC_ACQUIRE), 1, __ATOMIC_RELAXED); \
        call(id);                                                                            \
    })
/** LwpInstGet(id) with its call site counted in the "LWP_GET_INST" table. */
#define LWP_INST_GET_COUNTED(id) LWP_INST_COUNTED_(LwpAutoStatGetInst, LwpInstGet, id)
/** LwpInstPut(id) with its call site counted in the "LWP_PUT_INST" table. */
#define LWP_INST_PUT_COUNTED(id) LWP_INST_COUNTED_(LwpAutoStatPutInst, LwpInstPut, id)

/* ---- variables ---- */

/** Registers a variable of `size` (at most 8) bytes in `domainType`, its slot initialised with
 * the bytes at `initValue` (the rest zero), with an optional constructor record; runs the
 * constructor for every existing normal instance. Returns the id (also through `varIdOut` when
 * given), or LWP_VAR_ID_INVALID: bad domain or null name, oversize, domain full, or a failing
 * constructor of an existing instance (the variable then stays registered). */
KOVA_API uint64_t LwpVarRegister(const char *name, uint32_t domainType, const void *initValue, size_t size,
                                 const LwpVarCtor *ctor, uint64_t *varIdOut);
/** The address of the instance's own 8-byte slot of the variable (instance 0: the current one),
 * or null (logged) for an instance not found, a variable out of range or of another domain.
 * Valid while the instance lives; reading and writing the slot is the caller's business. */
KOVA_API void *LwpVarRaw(uint64_t instId, uint64_t varId);
/** The address of the variable's initial-value slot, or null. */
KOVA_API void *LwpVarDef(uint64_t varId);
/** The registered name, or "Invalid varId". */
KOVA_API const char *LwpVarGetName(uint64_t varId);
/** The first variable of the domain with that name, or null. */
KOVA_API LwpVarInfo *LwpVarInfoFindByName(uint32_t domainType, const char *name);
/** Storage of one instance: allocates the domain's capacity of zeroed slots (0 or -1). */
KOVA_API int32_t LwpVarMalloc(LwpInstVars *vars, uint32_t domainType);
/** Frees an instance's variable slots (once; null and freed storage are ignored). */
KOVA_API void LwpVarFree(LwpInstVars *vars);
/** Brings the instance's copy up to date with the registered variables, constructing the new
 * ones; a failing constructor rolls back the ones run in the same step and is returned. */
KOVA_API int32_t LwpVarConstructor(uint64_t instId);
/** Runs the destructors of the constructed variables, last first; returns the first failure. */
KOVA_API int32_t LwpVarDestructor(uint64_t instId);
/** LwpVarConstructor for every normal instance of the domain. */
KOVA_API int32_t LwpVarUpdate(uint32_t domainType);

/** Lists the registered variables of a domain (names and ids), then its normal instances. A null
 * printer prints nothing; a bad domain is printed as such. */
KOVA_API void LwpVarShow(kova_print_fn print, uint32_t domainType);
/** Lists the registered variables of every domain. */
KOVA_API void LwpVarShowAll(kova_print_fn print);
/** Lists the normal instances of a domain, one block each. */
KOVA_API void LwpInstShow(kova_print_fn print, uint32_t domainType);
/** Lists the instances of every domain. */
KOVA_API void LwpInstShowAll(kova_print_fn print);
/** Prints one variable's slot address and value in every instance of a domain; the domain is
 * given as decimal or 0x-prefixed text, and a bad domain or unknown name is printed as such. */
KOVA_API void LwpVarShowVarInfo(kova_print_fn print, const char *name, const char *domainType);

KOVA_EXTERN_C_END

#endif
