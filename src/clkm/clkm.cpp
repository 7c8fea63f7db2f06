// Clock modules: a tree of simulated clock dividers. No locking and no allocation: the tree and
// its records belong to the caller.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kova/kova_clkm.h"

namespace {

constexpr std::uint32_t kCallbackSilencesChildren = 1;

clkm_module_s *module_of(kova_list_head_s *link)
{
    return reinterpret_cast<clkm_module_s *>(reinterpret_cast<char *>(link) - offsetof(clkm_module_s, sibling));
}

// Calls `visit` on the module and then on its subtree, depth first in registration order.
template <typename Visit>
void walk(clkm_module_s *m, Visit &&visit)
{
    visit(m);
    for (kova_list_head_s *l = m->children.next; l != &m->children; l = l->next) walk(module_of(l), visit);
}

bool in_subtree(clkm_module_s *root, const clkm_module_s *wanted)
{
    bool found = false;
    walk(root, [&](clkm_module_s *m) { found = found || m == wanted; });
    return found;
}

void set_bit(std::uint8_t *bitmap, std::uint32_t bit) { bitmap[bit / 8] |= static_cast<std::uint8_t>(1u << bit % 8); }
void clear_bit(std::uint8_t *bitmap, std::uint32_t bit) { bitmap[bit / 8] &= static_cast<std::uint8_t>(~(1u << bit % 8)); }

void drive(clkm_module_s *m, std::uint64_t time, bool parent_reset)
{
    constexpr std::uint32_t kPauseFlags = CLKM_FLAG_DISABLED | CLKM_FLAG_PAUSED;
    switch (m->flags & kPauseFlags) {
    case CLKM_FLAG_DISABLED:  // the disable takes effect: keep the time that was left
        m->flags |= CLKM_FLAG_PAUSED;
        m->next -= time;
        return;
    case kPauseFlags:
        return;
    case CLKM_FLAG_PAUSED:  // enabled again: resume with the time that was left
        m->flags &= ~kPauseFlags;
        m->next += time;
        break;
    default:
        break;
    }
    if (time != m->next && (m->flags & CLKM_FLAG_RESET) == 0 && !parent_reset) return;
    bool reset = parent_reset || (m->flags & (CLKM_FLAG_RESET | CLKM_FLAG_DELAY_RESET)) != 0;
    if (reset) {
        m->count = 0;
        m->flags &= ~(CLKM_FLAG_RESET | CLKM_FLAG_DELAY_RESET);
    } else {
        ++m->count;
    }
    m->next = time + m->period;
    std::uint32_t result = m->callback(time, reset ? 1 : 0, m->arg);
    m->flags |= CLKM_FLAG_FIRED;
    if (result == kCallbackSilencesChildren) return;
    for (kova_list_head_s *l = m->children.next; l != &m->children; l = l->next) drive(module_of(l), m->count, reset);
}

void show(const clkm_module_s *m, std::uint32_t step, kova_print_fn printer)
{
    printer("%-16s: ", m->name);
    for (std::uint32_t p = 0; p < CLKM_HISTORY_STEPS; ++p)
        printer("%c", p == step % CLKM_HISTORY_STEPS ? '*' : clkm_test_bit(p, m->history) == 1 ? '+' : '-');
    printer("\n");
    for (const kova_list_head_s *l = m->children.next; l != &m->children; l = l->next)
        show(module_of(const_cast<kova_list_head_s *>(l)), step, printer);
}

}  // namespace

extern "C" {

int clkm_init(clkm_module_s *module, clkm_callback_fn callback, uint64_t arg, const char *name)
{
    if (module == nullptr || callback == nullptr) return -1;
    std::memset(module, 0, sizeof *module);
    module->next = 1;
    module->period = 1;
    module->children.next = module->children.prev = &module->children;
    module->sibling.next = module->sibling.prev = &module->sibling;
    module->callback = callback;
    module->arg = arg;
    std::strncpy(module->name, name != nullptr ? name : "NULL", CLKM_NAME_SIZE - 1);
    return 0;
}

int clkm_reg_child_module(clkm_module_s *parent, clkm_module_s *child, uint32_t period)
{
    // A module in two lists, or a tree that loops, would make every later walk run for ever.
    if (parent == nullptr || child == nullptr || child->sibling.next != &child->sibling || in_subtree(child, parent))
        return -1;
    kova_list_head_s *tail = parent->children.prev;
    child->sibling.prev = tail;
    child->sibling.next = &parent->children;
    tail->next = &child->sibling;
    parent->children.prev = &child->sibling;
    child->period = period;
    child->next = period;
    return 0;
}

int clkm_clk_delay(clkm_module_s *module, uint64_t ticks)
{
    if (module == nullptr) return -1;
    module->next += ticks;
    return 0;
}

int clkm_clk_delay_and_reset(clkm_module_s *module, uint64_t ticks)
{
    if (module == nullptr) return -1;
    module->next += ticks;
    module->flags |= CLKM_FLAG_DELAY_RESET;
    return 0;
}

int clkm_reset(clkm_module_s *module)
{
    if (module == nullptr) return -1;
    module->flags |= CLKM_FLAG_RESET;
    return 0;
}

int clkm_disable(clkm_module_s *module)
{
    if (module == nullptr) return -1;
    module->flags |= CLKM_FLAG_DISABLED;
    return 0;
}

int clkm_enable(clkm_module_s *module)
{
    if (module == nullptr) return -1;
    module->flags &= ~CLKM_FLAG_DISABLED;
    return 0;
}

int clkm_run(clkm_module_s *module)
{
    if (module == nullptr) return -1;
    drive(module, module->next, false);
    return 0;
}

int clkm_run_simu(clkm_module_s *root, uint32_t step)
{
    if (root == nullptr) return -1;
    walk(root, [&](clkm_module_s *m) { clear_bit(m->history, (step + 1) % CLKM_HISTORY_STEPS); });
    drive(root, root->next, false);
    walk(root, [&](clkm_module_s *m) {
        if ((m->flags & CLKM_FLAG_FIRED) == 0) return;
        m->flags &= ~CLKM_FLAG_FIRED;
        set_bit(m->history, step % CLKM_HISTORY_STEPS);
    });
    return 0;
}

int clkm_test_bit(uint32_t bit, const void *bitmap)
{
    if (bitmap == nullptr) return -1;
    return static_cast<const std::uint8_t *>(bitmap)[bit / 8] >> bit % 8 & 1;
}

int clkm_show_simu(const clkm_module_s *module, uint32_t step, kova_print_fn printer)
{
    if (module == nullptr || printer == nullptr) return -1;
    show(module, step, printer);
    return 0;
}

}  // extern "C"
