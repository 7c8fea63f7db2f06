// What the LWP units share: the instance tables, the reference/state word, the variable
// domains' sizes, and the hooks that put process-wide state back for tests.
#pragma once

#include <atomic>
#include <cstdint>

#include "kova/kova_lwp.h"
#include "kova/kova_thrd.h"

namespace kova::lwp {

constexpr std::uint32_t kDomains = LWP_DOMAIN_TYPES;
constexpr std::uint64_t kInvalid = ~0ull;

constexpr std::uint32_t refs_of(std::uint64_t word) { return static_cast<std::uint32_t>(word); }
constexpr std::uint32_t state_of(std::uint64_t word) { return static_cast<std::uint32_t>(word >> 32); }
constexpr std::uint64_t make_word(std::uint32_t state, std::uint32_t refs) { return std::uint64_t{state} << 32 | refs; }

constexpr std::uint32_t domain_of_id(std::uint64_t id) { return static_cast<std::uint32_t>(id >> 60); }
constexpr std::uint32_t slot_of_id(std::uint64_t id) { return static_cast<std::uint32_t>(id >> 16) & 0xFFFFu; }
constexpr std::uint64_t dead_id(std::uint64_t id) { return (id & ~0xFFFFull) | LWP_INST_ID_DEAD; }

// The word and the id are read by look-ups while owners change them: every access is atomic.
inline std::atomic_ref<std::uint64_t> word_of(LwpInstInfo *inst) { return std::atomic_ref(inst->refsState); }
inline std::uint64_t id_of(LwpInstInfo *inst) { return std::atomic_ref(inst->instId).load(std::memory_order_acquire); }

// A domain's instance table: `size` is published after `slots`.
struct InstTable {
    std::atomic<LwpInstInfo *> slots{nullptr};
    std::atomic<std::uint32_t> size{0};
};
InstTable &inst_table(std::uint32_t domain);

inline LwpInstInfo *current_instance() { return static_cast<LwpInstInfo *>(g_lwpInstCurrent); }

// Copies the slot's name (NUL-terminated, LWP_INST_NAME_LEN bytes); safe while a creator
// writes it.
void read_name(LwpInstInfo *inst, char *out);

// Takes a reference on a normal instance whose id is `id` (the check is repeated once the
// reference is held, so a slot reused since the look-up is let go), and drops one.
int take_reference(LwpInstInfo *inst, std::uint64_t id);
int drop_reference(LwpInstInfo *inst);

// The instance whose constructors the calling thread is running, if any. A constructor that
// registers a variable would otherwise wait for its own instance.
LwpInstInfo *constructing_here();
class ConstructingHere {
public:
    explicit ConstructingHere(LwpInstInfo *inst);
    ~ConstructingHere();
    ConstructingHere(const ConstructingHere &) = delete;
    ConstructingHere &operator=(const ConstructingHere &) = delete;

private:
    LwpInstInfo *saved_;
};

// The configured table sizes are 1 to 65535: slot and variable indexes must fit their id fields.
constexpr bool valid_table_size(std::int32_t n) { return n >= 1 && n <= 65535; }

// The registered variables of a domain (below kDomains): entries below the count are complete.
std::uint32_t var_count(std::uint32_t domain);
const LwpVarInfo *var_infos(std::uint32_t domain);
bool trace_enabled();

// Tests only: frees every table and forgets the configuration and the done flags, so that the
// next LwpModuleInit starts afresh. No instance may be in use.
void reset_for_test();
void reset_inst_for_test();
void reset_var_for_test();
void reset_debug_for_test();

}  // namespace kova::lwp
