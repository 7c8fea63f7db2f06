// The store procedure: each parsed item joins its section in a file node, a repeated item
// replacing the earlier one. A hash index over the node, built for the duration of one parse,
// keeps a load linear in the number of items (a walk of the section per item made a
// 1000-item section cost half a million comparisons).
#include <cstring>
#include <string_view>

#include "cfg/cfg_internal.h"
#include "init/kova_log.h"
#include "mem/alloc.h"

KOVA_LOG_SOURCE("cfg/kova_cfg")

using kova::log::kError;

namespace kova::cfg {
namespace {

// Open addressing over (owner, name): owner is the section for an item, null for a section.
class LoadIndex {
public:
    ~LoadIndex()
    {
        if (slots_ != nullptr) KOVA_FREE(slots_);
    }

    void *find(const void *owner, const char *name) const
    {
        if (slots_ == nullptr) return nullptr;
        std::uint64_t hash = hash_of(owner, name);
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot &slot = slots_[i];
            if (slot.node == nullptr) return nullptr;
            if (slot.hash == hash && slot.owner == owner && std::strcmp(name_of(slot), name) == 0) return slot.node;
        }
    }

    // Records or replaces the node for (owner, name); false when the index cannot grow (the
    // caller then falls back to walking the lists).
    bool put(const void *owner, const char *name, void *node)
    {
        if ((used_ + 1) * 2 > capacity_ && !grow()) return false;
        std::uint64_t hash = hash_of(owner, name);
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot &slot = slots_[i];
            if (slot.node == nullptr) {
                slot = {hash, owner, node};
                ++used_;
                return true;
            }
            if (slot.hash == hash && slot.owner == owner && std::strcmp(name_of(slot), name) == 0) {
                slot.node = node;
                return true;
            }
        }
    }

private:
    struct Slot {
        std::uint64_t hash;
        const void *owner;
        void *node;
    };

    static const char *name_of(const Slot &slot)
    {
        return slot.owner == nullptr ? static_cast<kova_cfg_section_node_s *>(slot.node)->name
                                     : static_cast<kova_cfg_item_node_s *>(slot.node)->name;
    }

    static std::uint64_t hash_of(const void *owner, const char *name)
    {
        std::uint64_t hash = 1469598103934665603ull ^ reinterpret_cast<std::uintptr_t>(owner);
        for (const char *p = name; *p != '\0'; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
        return hash ^ (hash >> 29);
    }

    bool grow()
    {
        std::size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        if (capacity * sizeof(Slot) >= INT32_MAX) return false;
        auto *slots = static_cast<Slot *>(KOVA_ALLOC(static_cast<int32_t>(capacity * sizeof(Slot))));
        if (slots == nullptr) return false;
        std::memset(slots, 0, capacity * sizeof(Slot));
        std::size_t mask = capacity - 1;
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (slots_[i].node == nullptr) continue;
            std::size_t j = slots_[i].hash & mask;
            while (slots[j].node != nullptr) j = (j + 1) & mask;
            slots[j] = slots_[i];
        }
        if (slots_ != nullptr) KOVA_FREE(slots_);
        slots_ = slots;
        capacity_ = capacity;
        mask_ = mask;
        return true;
    }

    Slot *slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    std::size_t used_ = 0;
};

struct LoadState {
    LoadIndex index;
    bool indexed = true;  // false once the index could not record a node
};

kova_cfg_section_node_s *section_for(kova_cfg_file_node_s *node, const char *name, LoadState &state)
{
    auto *section = state.indexed ? static_cast<kova_cfg_section_node_s *>(state.index.find(nullptr, name))
                                  : find_section(node, name);
    if (section != nullptr) return section;
    section = new_section(node, name);
    if (section != nullptr && state.indexed) state.indexed = state.index.put(nullptr, section->name, section);
    return section;
}

kova_cfg_item_node_s *new_item(const kova_cfg_item_node_s &parsed)
{
    auto *item = static_cast<kova_cfg_item_node_s *>(KOVA_ALLOC(sizeof(kova_cfg_item_node_s)));
    if (item == nullptr) {
        KOVA_LOG_AS("set_config_item", kError, "Alloc needed item memory fail, item node size (%u).",
                    static_cast<unsigned>(sizeof(kova_cfg_item_node_s)));
        return nullptr;
    }
    std::memcpy(item->name, parsed.name, sizeof item->name);
    item->value = copy_value(parsed.value, "set_config_item", "Alloc needed item memory fail, size(%u).");
    if (item->value == nullptr) {
        KOVA_FREE(item);
        return nullptr;
    }
    return item;
}

bool store(kova_cfg_file_node_s *node, const char *section_name, kova_cfg_item_node_s *parsed, LoadState &state)
{
    if (section_name == nullptr || parsed == nullptr) {
        KOVA_LOG_AS("set_config_item", kError, "Null pointer found, section or item.");
        return false;
    }
    if (strnlen(section_name, KOVA_CFG_NAME_SIZE) >= KOVA_CFG_NAME_SIZE) {
        KOVA_LOG_AS("set_config_item", kError, "Section name length too long.");
        return false;
    }
    if (strnlen(parsed->name, KOVA_CFG_NAME_SIZE) >= KOVA_CFG_NAME_SIZE) {
        KOVA_LOG_AS("set_config_item", kError, "Item name length too long.");
        return false;
    }
    if (strnlen(parsed->value, KOVA_CFG_VALUE_MAX + 1) > KOVA_CFG_VALUE_MAX) {
        KOVA_LOG_AS("set_config_item", kError, "Item value length too long.");
        return false;
    }
    kova_cfg_section_node_s *section = section_for(node, section_name, state);
    if (section == nullptr) return false;
    kova_cfg_item_node_s *item = new_item(*parsed);
    if (item == nullptr) return false;
    kova_cfg_item_node_s *old = state.indexed ? static_cast<kova_cfg_item_node_s *>(state.index.find(section, item->name))
                                              : find_item(section, item->name);
    list_add_tail(&item->list, &section->items);
    // The index compares names through the node it holds, so the old item goes only afterwards.
    if (state.indexed) state.indexed = state.index.put(section, item->name, item);
    if (old != nullptr) {
        list_del(&old->list);
        free_item(old);
    }
    return true;
}

int store_item(kova_cfg_file_node_s *node, const char *section, kova_cfg_item_node_s *item, void *arg)
{
    if (!store(node, section, item, *static_cast<LoadState *>(arg)))
        KOVA_LOG_AS("set_config_item", kError, "Set config [%s] : %s = %s fail.", section != nullptr ? section : "",
                    item != nullptr ? item->name : "", item != nullptr ? item->value : "");
    return 1;
}

}  // namespace

kova_cfg_file_node_s *load_file(const char *path)
{
    LoadState state;
    return parse_file(path, store_item, &state);
}

}  // namespace kova::cfg
