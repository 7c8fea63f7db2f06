#include <atomic>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_lwp.h"
#include "kova/kova_mem.h"
#include "kova/kova_sched.h"
#include "lwp/lwp_internal.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("lwp/lwp_var")

using namespace kova::lwp;
using kova::log::kError;
using kova::log::kInfo;

kova_spinlock_s gLwpVarLock[LWP_DOMAIN_TYPES] = {KOVA_SPINLOCK_INITIALIZER, KOVA_SPINLOCK_INITIALIZER,
                                                 KOVA_SPINLOCK_INITIALIZER};

namespace {

// Entries and initial values are written under the domain's lock; `count` is published after
// the entry is complete, `capacity` after the arrays exist.
struct VarDomain {
    std::atomic<LwpVarInfo *> infos{nullptr};
    std::atomic<std::uint64_t *> defaults{nullptr};
    std::atomic<std::uint32_t> capacity{0};
    std::atomic<std::uint32_t> count{0};
};

VarDomain domains[kDomains];
std::atomic<std::int32_t> max_vars{LWP_VAR_MAX_DEFAULT};
std::mutex var_mutex;

constexpr std::uint32_t var_domain(std::uint64_t id) { return static_cast<std::uint32_t>(id >> 23) & 0xFu; }
constexpr std::uint32_t var_position(std::uint64_t id) { return static_cast<std::uint32_t>(id) & 0x7FFFFFu; }
constexpr std::uint32_t var_index(std::uint64_t id) { return static_cast<std::uint32_t>(id >> 32) & 0xFFFFFu; }

// A position addresses a whole slot inside `capacity` slots.
constexpr bool slot_position_ok(std::uint32_t position, std::uint32_t capacity)
{
    return position % 8 == 0 && position / 8 < capacity;
}

class DomainLock {
public:
    DomainLock(std::uint32_t domain, const char *location) : word_(&gLwpVarLock[domain].lock), location_(location)
    {
        do_kova_spinlock_lock(word_, location_, __LINE__);
    }
    ~DomainLock() { do_kova_spinlock_unlock(word_, location_, __LINE__); }
    DomainLock(const DomainLock &) = delete;
    DomainLock &operator=(const DomainLock &) = delete;

private:
    std::uint64_t *word_;
    const char *location_;
};

template <typename T>
T *allocate_zeroed(std::uint32_t count, const char *function, std::uint32_t line)
{
    auto *p = static_cast<T *>(kova_mallocsubstandard(KOVA_MODULE_ID, static_cast<int32_t>(count * sizeof(T)), 0,
                                                      function, line));
    if (p != nullptr) std::memset(static_cast<void *>(p), 0, count * sizeof(T));
    return p;
}

void release(void *p)
{
    if (p != nullptr) kova_freesub(p, "LwpVarModuleInit", __LINE__);
}

std::atomic_ref<std::uint64_t *> slots_of(LwpInstVars *vars) { return std::atomic_ref(vars->slots); }

int32_t run(LwpVarFn fn, std::uint64_t inst_id, std::uint64_t arg) { return fn != nullptr ? fn(inst_id, arg) : 0; }

// Destructors of variables last-1 down to first; stops at the first failure, which it returns.
int32_t destroy_range(const LwpVarInfo *infos, std::uint32_t domain, std::uint64_t inst_id, std::uint32_t first,
                      std::uint32_t last)
{
    for (std::uint32_t v = last; v-- > first;) {
        int32_t ret = run(infos[v].dtor, inst_id, infos[v].dtorArg);
        if (ret != 0) {
            KOVA_LOG_AS("LwpVarDestructor", kError, "Run lwp var:%s domainType(%u) destructor fail:%d", infos[v].name,
                        domain, ret);
            return ret;
        }
    }
    return 0;
}

// Copies and constructs the variables registered since the last run, until none is left.
int32_t construct_new(LwpInstInfo *inst, std::uint64_t inst_id, std::uint32_t domain)
{
    VarDomain &vd = domains[domain];
    std::uint64_t *slots = slots_of(&inst->vars).load(std::memory_order_acquire);
    if (slots == nullptr) return -1;
    auto constructed = std::atomic_ref(inst->vars.constructed);
    const LwpVarInfo *infos = vd.infos.load(std::memory_order_acquire);
    for (;;) {
        std::uint32_t from = constructed.load();
        std::uint32_t to;
        {
            DomainLock lock(domain, "LwpVarDefDup");
            to = vd.count.load();
            if (to > from) {
                std::uint32_t capacity = std::atomic_ref(inst->vars.capacity).load(std::memory_order_relaxed);
                int r = kova::sec::memcpy_s(slots + from, (capacity - from) * 8u,
                                            vd.defaults.load(std::memory_order_relaxed) + from, (to - from) * 8u);
                if (r != 0)
                    KOVA_LOG_AS("LwpVarConstructor", kInfo,
                                "Lwp var domainType(%d) from(%u), to(%u) memcpy_s failed, ret(%d).",
                                static_cast<int>(domain), from, to, r);
            }
        }
        if (to <= from) return 0;
        for (std::uint32_t v = from; v < to; ++v) {
            int32_t ret = run(infos[v].ctor, inst_id, infos[v].ctorArg);
            if (ret != 0) {
                KOVA_LOG_AS("LwpVarConstructor", kError, "Run lwp var:%s constructor fail:%d", infos[v].name, ret);
                destroy_range(infos, domain, inst_id, from, v);
                return ret;
            }
        }
        constructed.store(to);
    }
}

int32_t construct_one(uint64_t inst_id, void *) { return LwpVarConstructor(inst_id); }

// The instance an id names (0: the current one) and its own id; null, logged under `caller`,
// when there is none. A found instance's domain is valid.
LwpInstInfo *instance_for(std::uint64_t inst_id, std::uint64_t *id, const char *caller)
{
    LwpInstInfo *inst = LwpInstInfoFind(inst_id);
    if (inst == nullptr) {
        KOVA_LOG_AS(caller, kError, "get inst failed, instId=%u", static_cast<unsigned>(inst_id));
        return nullptr;
    }
    *id = inst_id != 0 ? inst_id : id_of(inst);
    return inst;
}

}  // namespace

std::uint32_t kova::lwp::var_count(std::uint32_t domain) { return domains[domain].count.load(); }

const LwpVarInfo *kova::lwp::var_infos(std::uint32_t domain)
{
    return domains[domain].infos.load(std::memory_order_acquire);
}

extern "C" int32_t LwpCfgSetMaxVarNum(int32_t n)
{
    if (!valid_table_size(n)) return -1;
    max_vars.store(n);
    return 0;
}

extern "C" int32_t LwpVarModuleInit(void)
{
    std::lock_guard guard(var_mutex);
    if (domains[0].capacity.load() != 0) return 0;
    auto capacity = static_cast<std::uint32_t>(max_vars.load());
    LwpVarInfo *infos[kDomains] = {};
    std::uint64_t *defaults[kDomains] = {};
    for (std::uint32_t d = 0; d < kDomains; ++d) {
        infos[d] = allocate_zeroed<LwpVarInfo>(capacity, __func__, __LINE__);
        if (infos[d] == nullptr)
            KOVA_LOG(kError, "Malloc lwp var info fail, size(%u).", capacity * static_cast<unsigned>(sizeof(LwpVarInfo)));
        else if ((defaults[d] = allocate_zeroed<std::uint64_t>(capacity, __func__, __LINE__)) == nullptr)
            KOVA_LOG(kError, "Malloc lwp default var addr fail, size(%u).", capacity * 8u);
        if (defaults[d] == nullptr) {
            for (std::uint32_t i = 0; i <= d; ++i) {
                release(infos[i]);
                release(defaults[i]);
            }
            return -1;
        }
    }
    for (std::uint32_t d = 0; d < kDomains; ++d) {
        domains[d].infos.store(infos[d], std::memory_order_relaxed);
        domains[d].defaults.store(defaults[d], std::memory_order_relaxed);
        domains[d].count.store(0);
        domains[d].capacity.store(capacity, std::memory_order_release);
    }
    return 0;
}

extern "C" int32_t LwpVarMalloc(LwpInstVars *vars, uint32_t domainType)
{
    std::uint32_t capacity = domainType < kDomains ? domains[domainType].capacity.load(std::memory_order_acquire) : 0;
    auto *slots = vars != nullptr && capacity != 0 ? allocate_zeroed<std::uint64_t>(capacity, __func__, __LINE__)
                                                   : nullptr;
    if (slots == nullptr) {
        KOVA_LOG(kError, "Malloc lwp inst var fail");
        return -1;
    }
    std::atomic_ref(vars->capacity).store(capacity, std::memory_order_relaxed);
    std::atomic_ref(vars->constructed).store(0);
    std::atomic_ref(vars->ctorBusy).store(0);
    slots_of(vars).store(slots, std::memory_order_release);
    return 0;
}

extern "C" void LwpVarFree(LwpInstVars *vars)
{
    if (vars == nullptr) return;
    std::uint64_t *slots = slots_of(vars).exchange(nullptr);
    if (slots != nullptr) kova_freesub(slots, __func__, __LINE__);
}

extern "C" uint64_t LwpVarRegister(const char *name, uint32_t domainType, const void *initValue, size_t size,
                                   const LwpVarCtor *ctor, uint64_t *varIdOut)
{
    if (domainType >= kDomains || name == nullptr) {
        KOVA_LOG(kError, "Register lwp var name(%s), size(%u), domainType(%d) invalid.", name != nullptr ? name : "",
                 static_cast<unsigned>(size), static_cast<int>(domainType));
        return LWP_VAR_ID_INVALID;
    }
    if (size > LWP_VAR_SIZE_MAX) {
        KOVA_LOG(kError, "Register lwp var %s fail, var size:%lu > %lu is too bigger", name, size,
                 static_cast<size_t>(LWP_VAR_SIZE_MAX));
        return LWP_VAR_ID_INVALID;
    }
    VarDomain &vd = domains[domainType];
    std::uint64_t id;
    {
        DomainLock lock(domainType, "LwpVarRegister");
        std::uint32_t capacity = vd.capacity.load(std::memory_order_acquire);
        std::uint32_t index = vd.count.load();
        if (index >= capacity) {
            KOVA_LOG(kError, "Register lwp var name(%s) domainType(%d) fail, which has been used up %u/%u", name,
                     static_cast<int>(domainType), index, capacity);
            return LWP_VAR_ID_INVALID;
        }
        id = std::uint64_t{index} << 32 | std::uint64_t{domainType} << 23 | index * 8u;
        if (size != 0) {
            int r = kova::sec::memcpy_s(vd.defaults.load(std::memory_order_relaxed) + index, size, initValue, size);
            if (r != 0)
                KOVA_LOG(kError, "lwp var memcpy_s failed, domainType(%d) ret=%d.", static_cast<int>(domainType), r);
        }
        LwpVarInfo &info = vd.infos.load(std::memory_order_relaxed)[index];
        info = LwpVarInfo{name, id, nullptr, 0, nullptr, 0};
        if (ctor != nullptr) {
            info.ctor = ctor->ctor;
            info.ctorArg = ctor->ctorArg;
            info.dtor = ctor->dtor;
            info.dtorArg = ctor->dtorArg;
        }
        if (varIdOut != nullptr) *varIdOut = id;
        vd.count.store(index + 1);
    }
    return LwpVarUpdate(domainType) == 0 ? id : LWP_VAR_ID_INVALID;
}

extern "C" void *LwpVarDef(uint64_t varId)
{
    std::uint32_t domain = var_domain(varId);
    if (domain >= kDomains) {
        KOVA_LOG(kError, "Invalid lwp var domainType(%u).", domain);
        return nullptr;
    }
    std::uint32_t position = var_position(varId);
    if (!slot_position_ok(position, domains[domain].capacity.load(std::memory_order_acquire))) return nullptr;
    return domains[domain].defaults.load(std::memory_order_relaxed) + position / 8;
}

extern "C" void *LwpVarRaw(uint64_t instId, uint64_t varId)
{
    LwpInstInfo *inst = LwpInstInfoFind(instId);
    std::uint32_t domain = var_domain(varId);
    std::uint32_t position = var_position(varId);
    if (inst != nullptr && domain < kDomains) [[likely]] {
        std::uint64_t *slots = slots_of(&inst->vars).load(std::memory_order_acquire);
        if (slots != nullptr &&
            slot_position_ok(position, std::atomic_ref(inst->vars.capacity).load(std::memory_order_relaxed))) {
            std::uint64_t id = instId != 0 ? instId : id_of(inst);
            if (domain_of_id(id) == domain) [[likely]]
                return slots + position / 8;
            KOVA_LOG(kError, "Lwp var instId:0x%lx varId:0x%lx, domainType(%u, %u) dismatch.", id, varId,
                     domain_of_id(id), domain);
            return nullptr;
        }
    }
    KOVA_LOG(kError, "Invalid lwp var instId:0x%lx varId:0x%lx, domainType(%u).", instId, varId, domain);
    return nullptr;
}

extern "C" const char *LwpVarGetName(uint64_t varId)
{
    std::uint32_t domain = var_domain(varId);
    if (domain >= kDomains || var_index(varId) >= var_count(domain)) return "Invalid varId";
    return var_infos(domain)[var_index(varId)].name;
}

extern "C" LwpVarInfo *LwpVarInfoFindByName(uint32_t domainType, const char *name)
{
    if (name == nullptr || domainType >= kDomains) return nullptr;
    std::uint32_t count = var_count(domainType);
    LwpVarInfo *infos = domains[domainType].infos.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < count; ++i)
        if (std::strcmp(infos[i].name, name) == 0) return &infos[i];
    return nullptr;
}

extern "C" int32_t LwpVarConstructor(uint64_t instId)
{
    std::uint64_t id;
    LwpInstInfo *inst = instance_for(instId, &id, __func__);
    if (inst == nullptr) return -1;
    std::uint32_t domain = domain_of_id(id);
    // Re-entered from one of this instance's own constructors: the outer run takes the new
    // variables when it looks at the count again.
    if (std::atomic_ref(inst->vars.constructed).load() >= var_count(domain) || inst == constructing_here()) return 0;
    auto busy = std::atomic_ref(inst->vars.ctorBusy);
    for (int32_t idle = 0; !busy.compare_exchange_strong(idle, 1); idle = 0) kova_10msleep(1);
    int32_t ret;
    {
        ConstructingHere guard(inst);
        ret = construct_new(inst, id, domain);
    }
    busy.store(0);
    return ret;
}

extern "C" int32_t LwpVarDestructor(uint64_t instId)
{
    std::uint64_t id;
    LwpInstInfo *inst = instance_for(instId, &id, __func__);
    if (inst == nullptr) return -1;
    std::uint32_t domain = domain_of_id(id);
    return destroy_range(var_infos(domain), domain, id, 0, std::atomic_ref(inst->vars.constructed).load());
}

extern "C" int32_t LwpVarUpdate(uint32_t domainType)
{
    return LwpInstForEachNormal(construct_one, domainType, nullptr, LWP_INST_CONSTRUCTING);
}

void kova::lwp::reset_var_for_test()
{
    std::lock_guard guard(var_mutex);
    for (VarDomain &vd : domains) {
        vd.capacity.store(0);
        vd.count.store(0);
        release(vd.infos.exchange(nullptr));
        release(vd.defaults.exchange(nullptr));
    }
    max_vars.store(LWP_VAR_MAX_DEFAULT);
}
