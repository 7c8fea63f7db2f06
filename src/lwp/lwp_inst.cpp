#include <pthread.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_lwp.h"
#include "kova/kova_mem.h"
#include "kova/kova_sched.h"
#include "kova/kova_time.h"
#include "kovalog/kovalog.h"
#include "lwp/lwp_internal.h"

KOVA_LOG_SOURCE("lwp/lwp_inst")

using namespace kova::lwp;
using kova::log::kError;
using kova::log::kInfo;

namespace {

// Look-up failures come in bursts (a stale id in a loop): three lines per window of quiet, in
// jiffies, and no summary.
constexpr std::uint64_t kBadDomainWindow = 750;
constexpr std::uint64_t kBadSlotWindow = 900000;
constexpr std::uint64_t kMismatchWindow = 1500;

constexpr pthread_t kNoThread = static_cast<pthread_t>(~0ul);
constexpr std::uint64_t kFirstStatPrintMs = 1000;

InstTable tables[kDomains];
std::atomic<std::int32_t> max_instances{LWP_INST_MAX_DEFAULT};
std::atomic<std::uint64_t> sequence{0};
std::mutex table_mutex;
thread_local LwpInstInfo *constructing = nullptr;

void store_name(LwpInstInfo *inst, const char *name)
{
    if (name == nullptr) name = "None";
    std::size_t length = strnlen(name, LWP_INST_NAME_LEN - 1);
    for (std::size_t i = 0; i < LWP_INST_NAME_LEN; ++i)
        std::atomic_ref(inst->name[i]).store(i < length ? name[i] : '\0', std::memory_order_relaxed);
}

std::atomic_ref<pthread_t> thread_of(LwpInstInfo *inst) { return std::atomic_ref(inst->thread); }

void set_state(LwpInstInfo *inst, std::uint32_t state, std::uint32_t refs = 0)
{
    word_of(inst).store(make_word(state, refs));
}

// A creation that cannot complete leaves the slot free with a dead id.
void release_slot(LwpInstInfo *inst)
{
    std::atomic_ref(inst->instId).store(dead_id(id_of(inst)), std::memory_order_release);
    set_state(inst, LWP_INST_FREE);
}

void *instance_thread(void *arg)
{
    auto *inst = static_cast<LwpInstInfo *>(arg);
    g_lwpInstCurrent = inst;
    inst->threadFunc(inst->threadArg, inst);
    return nullptr;
}

LwpInstInfo *slot_for(std::uint64_t id)
{
    InstTable &table = tables[domain_of_id(id)];
    if (slot_of_id(id) >= table.size.load(std::memory_order_acquire)) return nullptr;
    return table.slots.load(std::memory_order_relaxed) + slot_of_id(id);
}

// Moves a normal or zombie instance to DELETING; returns the state found.
std::uint32_t claim_for_delete(LwpInstInfo *inst)
{
    std::uint64_t w = word_of(inst).load();
    for (;;) {
        std::uint32_t state = state_of(w);
        if (state != LWP_INST_NORMAL && state != LWP_INST_ZOMBIE) return state;
        if (word_of(inst).compare_exchange_weak(w, make_word(LWP_INST_DELETING, refs_of(w)))) return state;
    }
}

// Gives a claim back to `state`, keeping the references taken meanwhile.
void unclaim(LwpInstInfo *inst, std::uint32_t state)
{
    std::uint64_t w = word_of(inst).load();
    while (!word_of(inst).compare_exchange_weak(w, make_word(state, refs_of(w)))) {}
}

// Waits for the references to drop: 0, or LWP_DELETE_TIMED_OUT once the time-out has passed.
int32_t wait_for_references(LwpInstInfo *inst, std::uint64_t id, std::int32_t timeout_ms)
{
    std::uint64_t start = kova_time_getmillisec();
    std::uint64_t interval = kFirstStatPrintMs;
    std::uint64_t next_print = start + interval;
    while (refs_of(word_of(inst).load()) != 0) {
        std::uint64_t now = kova_time_getmillisec();
        if (now >= next_print) {
            LwpShowAutoStatAll(kovalog_original, "");
            interval += 1000;
            next_print = now + interval;
        }
        if (timeout_ms >= 0 && now - start >= static_cast<std::uint64_t>(timeout_ms)) {
            std::uint64_t w = word_of(inst).load();
            while (state_of(w) == LWP_INST_DELETING &&
                   !word_of(inst).compare_exchange_weak(w, make_word(LWP_INST_ZOMBIE, refs_of(w)))) {}
            if (state_of(w) != LWP_INST_DELETING) {
                char name[LWP_INST_NAME_LEN];
                read_name(inst, name);
                KOVA_LOG_AS("LwpInstDelete", kInfo, "The inst:%s id:0x%lx has been deleted", name, id);
            }
            return LWP_DELETE_TIMED_OUT;
        }
        kova_msleep(1);
    }
    return 0;
}

void stop_thread(LwpInstInfo *inst)
{
    pthread_t thread = thread_of(inst).load();
    if (thread == kNoThread) return;
    // An instance's thread that deletes its own instance cannot join itself.
    if (pthread_equal(thread, pthread_self()))
        pthread_detach(thread);
    else
        pthread_join(thread, nullptr);
    thread_of(inst).store(kNoThread);
}

}  // namespace

InstTable &kova::lwp::inst_table(std::uint32_t domain) { return tables[domain]; }

void kova::lwp::read_name(LwpInstInfo *inst, char *out)
{
    for (std::size_t i = 0; i < LWP_INST_NAME_LEN; ++i)
        out[i] = std::atomic_ref(inst->name[i]).load(std::memory_order_relaxed);
    out[LWP_INST_NAME_LEN - 1] = '\0';
}

LwpInstInfo *kova::lwp::constructing_here() { return constructing; }

ConstructingHere::ConstructingHere(LwpInstInfo *inst) : saved_(constructing) { constructing = inst; }

ConstructingHere::~ConstructingHere() { constructing = saved_; }

int kova::lwp::take_reference(LwpInstInfo *inst, std::uint64_t id)
{
    auto word = word_of(inst);
    std::uint64_t w = word.load();
    do {
        if (state_of(w) != LWP_INST_NORMAL) return -1;
        if (refs_of(w) == UINT32_MAX) {
            char name[LWP_INST_NAME_LEN];
            read_name(inst, name);
            KOVA_LOG_AS("LwpInstGet", kInfo, "Lwp inst:%s get overflow", name);
            return -1;
        }
    } while (!word.compare_exchange_weak(w, w + 1));
    // The slot may have been deleted and reused between the look-up and the claim.
    if (id_of(inst) != id) {
        drop_reference(inst);
        return -1;
    }
    return 0;
}

int kova::lwp::drop_reference(LwpInstInfo *inst)
{
    auto word = word_of(inst);
    std::uint64_t w = word.load();
    do {
        if (state_of(w) == LWP_INST_FREE) return -1;
        if (refs_of(w) == 0) {
            char name[LWP_INST_NAME_LEN];
            read_name(inst, name);
            KOVA_LOG_AS("LwpInstPut", kInfo, "Lwp inst:%s put overflow", name);
            return -1;
        }
    } while (!word.compare_exchange_weak(w, w - 1));
    return 0;
}

extern "C" int32_t LwpCfgSetMaxInstNum(int32_t n)
{
    if (!valid_table_size(n)) return -1;
    max_instances.store(n);
    return 0;
}

extern "C" int32_t LwpInstModuleInit(void)
{
    std::lock_guard guard(table_mutex);
    if (tables[0].size.load() != 0) return 0;
    auto count = static_cast<std::uint32_t>(max_instances.load());
    LwpInstInfo *made[kDomains] = {};
    for (std::uint32_t domain = 0; domain < kDomains; ++domain) {
        made[domain] = static_cast<LwpInstInfo *>(kova_mallocsubstandard(
            KOVA_MODULE_ID, static_cast<int32_t>(count * sizeof(LwpInstInfo)), 0, __func__, __LINE__));
        if (made[domain] == nullptr) {
            KOVA_LOG(kInfo, "Malloc lwp Module inst fail, idx(%u).", domain);
            for (std::uint32_t i = 0; i < domain; ++i) kova_freesub(made[i], __func__, __LINE__);
            return -1;
        }
        std::memset(static_cast<void *>(made[domain]), 0, count * sizeof(LwpInstInfo));
    }
    for (std::uint32_t domain = 0; domain < kDomains; ++domain) {
        tables[domain].slots.store(made[domain], std::memory_order_relaxed);
        tables[domain].size.store(count, std::memory_order_release);
    }
    return 0;
}

extern "C" LwpInstInfo *LwpInstInfoFind(uint64_t instId)
{
    if (instId == 0) return current_instance();
    std::uint32_t domain = domain_of_id(instId);
    if (domain >= kDomains) [[unlikely]] {
        KOVA_LOG_RATELIMITED_QUIET(kBadDomainWindow, kInfo, kInfo, "Invalid domainType(%u).", domain);
        return nullptr;
    }
    LwpInstInfo *inst = slot_for(instId);
    if (inst == nullptr) [[unlikely]] {
        KOVA_LOG_RATELIMITED_QUIET(kBadSlotWindow, kError, kError, "Invalid instId:0x%lx", instId);
        return nullptr;
    }
    std::uint64_t current = id_of(inst);
    if (current == instId && (instId & 0xFFFFu) == LWP_INST_ID_LIVE) [[likely]]
        return inst;
    char name[LWP_INST_NAME_LEN];
    read_name(inst, name);
    std::uint64_t w = word_of(inst).load(std::memory_order_relaxed);
    KOVA_LOG_RATELIMITED_QUIET(kMismatchWindow, kInfo, kInfo,
                               "Invalid instId:0x%lx current:0x%lx domainType(%u) refers:%u state:%u name:%s", instId,
                               current, domain, refs_of(w), state_of(w), name);
    return nullptr;
}

extern "C" int32_t LwpInstGet(uint64_t instId)
{
    LwpInstInfo *inst = LwpInstInfoFind(instId);
    if (inst == nullptr) [[unlikely]] {
        KOVA_LOG(kInfo, "Invalid instId:0x%lx pInst:%p", instId, static_cast<void *>(inst));
        return -1;
    }
    return take_reference(inst, instId != 0 ? instId : id_of(inst));
}

extern "C" int32_t LwpInstPut(uint64_t instId)
{
    LwpInstInfo *inst = LwpInstInfoFind(instId);
    if (inst == nullptr) [[unlikely]] {
        KOVA_LOG(kInfo, "Invalid instId:0x%lx pInst:%p", instId, static_cast<void *>(inst));
        return -1;
    }
    return drop_reference(inst);
}

extern "C" uint64_t LwpInstNew(const char *name, uint32_t domainType, uint32_t, LwpInstThreadFn threadFunc,
                               void *threadArg)
{
    if (domainType >= kDomains) return kInvalid;
    InstTable &table = tables[domainType];
    std::uint32_t size = table.size.load(std::memory_order_acquire);
    LwpInstInfo *slots = table.slots.load(std::memory_order_relaxed);
    LwpInstInfo *inst = nullptr;
    std::uint32_t index = 0;
    for (; index < size; ++index) {
        std::uint64_t free_word = make_word(LWP_INST_FREE, 0);
        if (word_of(&slots[index]).compare_exchange_strong(free_word, make_word(LWP_INST_ALLOCATED, 0))) {
            inst = &slots[index];
            break;
        }
    }
    if (inst == nullptr) return kInvalid;

    std::uint64_t seq = sequence.fetch_add(1) & 0xFFFFFFFu;
    std::uint64_t id = std::uint64_t{domainType} << 60 | seq << 32 | std::uint64_t{index} << 16 | LWP_INST_ID_LIVE;
    std::atomic_ref(inst->instId).store(id, std::memory_order_release);
    if (LwpVarMalloc(&inst->vars, domainType) != 0) {
        release_slot(inst);
        return kInvalid;
    }
    store_name(inst, name);
    inst->threadFunc = threadFunc;
    inst->threadArg = threadArg;
    thread_of(inst).store(kNoThread);
    set_state(inst, LWP_INST_CONSTRUCTING);

    int32_t ret = LwpVarConstructor(id);
    if (ret != 0) {
        KOVA_LOG(kInfo, "Run lwp var constructor fail, ret:%d", ret);
        LwpVarFree(&inst->vars);
        release_slot(inst);
        return kInvalid;
    }
    if (threadFunc == nullptr) {
        set_state(inst, LWP_INST_NORMAL);
        return id;
    }
    // Held while the thread starts, so that a deletion racing this creation waits for the handle.
    set_state(inst, LWP_INST_NORMAL, 1);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, instance_thread, inst) != 0) {
        drop_reference(inst);
        LwpInstDelete(id, -1);
        return kInvalid;
    }
    thread_of(inst).store(thread);
    drop_reference(inst);
    return id;
}

extern "C" int32_t LwpInstDelete(uint64_t instId, int32_t timeoutMs)
{
    char name[LWP_INST_NAME_LEN];
    LwpInstInfo *dead = instId == 0 || domain_of_id(instId) >= kDomains ? nullptr : slot_for(instId);
    if (dead != nullptr && (instId & 0xFFFFu) == LWP_INST_ID_LIVE && id_of(dead) == dead_id(instId)) {
        read_name(dead, name);
        KOVA_LOG(kInfo, "The inst:%s id:0x%lx has been deleted", name, instId);
        return -1;
    }
    LwpInstInfo *inst = instId == 0 ? nullptr : LwpInstInfoFind(instId);
    if (inst == nullptr) {
        KOVA_LOG(kInfo, "Invalid instId:0x%lx pInst:%p for delete", instId, static_cast<void *>(inst));
        return -1;
    }
    read_name(inst, name);
    std::uint32_t found = claim_for_delete(inst);
    bool claimed = found == LWP_INST_NORMAL || found == LWP_INST_ZOMBIE;
    if (claimed && id_of(inst) != instId) {
        unclaim(inst, found);  // reused between the look-up and the claim: not ours
        found = LWP_INST_FREE;
        claimed = false;
    }
    if (!claimed) {
        if (found == LWP_INST_FREE)
            KOVA_LOG(kInfo, "The inst:%s id:0x%lx has been deleted", name, instId);
        else if (found == LWP_INST_DELETING)
            KOVA_LOG(kInfo, "Double delete inst:%s id:0x%lx", name, instId);
        else
            KOVA_LOG(kInfo, "The inst:%s id:0x%lx is being created", name, instId);
        return -1;
    }
    int32_t ret = wait_for_references(inst, instId, timeoutMs);
    if (ret != 0) return ret;
    stop_thread(inst);
    ret = LwpVarDestructor(instId);
    if (ret != 0) {
        KOVA_LOG(kInfo, "Stop lwp inst:%s fail ret:%d", name, ret);
        return ret;
    }
    LwpVarFree(&inst->vars);
    release_slot(inst);
    return 0;
}

extern "C" int32_t LwpInstForEachNormal(LwpInstForEachFn fn, uint32_t domainType, void *arg, uint32_t waitMask)
{
    if (fn == nullptr) {
        KOVA_LOG(kInfo, "Invalid param func is null");
        return -1;
    }
    if (domainType >= kDomains) {
        KOVA_LOG(kInfo, "Invalid domainType(%u).", domainType);
        return -1;
    }
    InstTable &table = tables[domainType];
    std::uint32_t size = table.size.load(std::memory_order_acquire);
    LwpInstInfo *slots = table.slots.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < size; ++i) {
        LwpInstInfo *inst = &slots[i];
        while ((state_of(word_of(inst).load()) & waitMask) != 0 && inst != constructing) kova_10msleep(1);
        std::uint64_t id = id_of(inst);
        if (take_reference(inst, id) != 0) continue;
        int32_t ret = fn(id, arg);
        drop_reference(inst);
        if (ret != 0) {
            KOVA_LOG_AS("LwpInstForEachNormal", kInfo, "Run LwpForEach callback:%p fail:%d",
                        reinterpret_cast<void *>(fn), ret);
            return ret;
        }
    }
    return 0;
}

extern "C" int32_t LwpInstForEach(LwpInstForEachFn fn, uint32_t domainType, void *arg, uint32_t waitMask)
{
    return LwpInstForEachNormal(fn, domainType, arg, waitMask);
}

extern "C" const char *LwpInstGetName(uint64_t instId)
{
    LwpInstInfo *inst = LwpInstInfoFind(instId);
    if (inst == nullptr) {
        KOVA_LOG(kInfo, "Invalid lwp inst instId:0x%lx this:%p", instId, g_lwpInstCurrent);
        return nullptr;
    }
    return inst->name;
}

extern "C" uint32_t LwpGetInstIdDomainType(uint64_t instId)
{
    if (instId == 0) {
        LwpInstInfo *inst = current_instance();
        if (inst == nullptr) return kDomains;
        instId = id_of(inst);
    }
    std::uint32_t domain = domain_of_id(instId);
    if (domain < kDomains) return domain;
    KOVA_LOG_RATELIMITED_QUIET(kBadDomainWindow, kInfo, kInfo, "Invalid domainType(%u), inst id(0x%lx).", domain,
                               instId);
    return kDomains;
}

extern "C" uint64_t LwpCtxCurrent(void)
{
    LwpInstInfo *inst = current_instance();
    return inst != nullptr ? id_of(inst) : kInvalid;
}

extern "C" int32_t LwpCtxAttach(uint64_t newInstId, uint64_t *oldInstId)
{
    if (oldInstId != nullptr) *oldInstId = LwpCtxCurrent();
    if (newInstId == 0) return 0;
    if (trace_enabled()) LwpCtxDbgSwitch(LwpCtxCurrent(), newInstId);
    g_lwpInstCurrent = newInstId == kInvalid ? nullptr : LwpInstInfoFind(newInstId);
    return 0;
}

void kova::lwp::reset_inst_for_test()
{
    std::lock_guard guard(table_mutex);
    for (InstTable &table : tables) {
        LwpInstInfo *slots = table.slots.exchange(nullptr);
        std::uint32_t size = table.size.exchange(0);
        for (std::uint32_t i = 0; i < size; ++i) LwpVarFree(&slots[i].vars);
        if (slots != nullptr) kova_freesub(slots, __func__, __LINE__);
    }
    max_instances.store(LWP_INST_MAX_DEFAULT);
}
