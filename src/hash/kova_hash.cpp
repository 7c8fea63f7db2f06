#include <cstdlib>

#include "init/kova_log.h"
#include "kova/kova_hash.h"

KOVA_LOG_SOURCE("hash/kova_hash")

namespace {

constexpr int kInvalid = -22;
constexpr int kNoMemory = -12;
constexpr int kExists = -17;
constexpr int kAbsent = -1;
constexpr uint32_t kMaxReserved = 1023;
constexpr uint32_t kMaxPower = 30;

using Link = kova_hash_link_s;

void make_empty(Link *link) { link->next = link->prev = link; }

void unlink(Link *link)
{
    link->prev->next = link->next;
    link->next->prev = link->prev;
    make_empty(link);
}

kova_hash_node_s *node_of(Link *link) { return reinterpret_cast<kova_hash_node_s *>(link); }

Link *bucket_of(const kova_hash_table_s *table, uint32_t key32, uint64_t key64)
{
    return &table->buckets[hash_func(key32, key64, table->power)];
}

kova_hash_node_s *find(const kova_hash_table_s *table, uint32_t key32, uint64_t key64)
{
    Link *head = bucket_of(table, key32, key64);
    for (Link *link = head->next; link != head; link = link->next)
        if (node_of(link)->key32 == key32 && node_of(link)->key64 == key64) return node_of(link);
    return nullptr;
}

// Visits every node; the successor is read first, so the visitor may unlink or free its node.
template <typename Visit>
int walk(kova_hash_table_s *table, bool stop, Visit visit)
{
    for (uint32_t b = 0; b < table->bucket_count; ++b) {
        Link *head = &table->buckets[b];
        for (Link *link = head->next, *next = link->next; link != head; link = next, next = link->next) {
            int result = visit(node_of(link));
            if (result != 0 && stop) return result;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

uint32_t hash_pow(uint32_t power) { return power > kMaxPower ? 0 : 1u << power; }

uint32_t hash_get_pow(uint32_t n) { return n < 2 ? 0 : 31 - static_cast<uint32_t>(__builtin_clz(n)); }

uint32_t hash_func(uint32_t key32, uint64_t key64, uint32_t power)
{
    if (power == 0) return 0;
    const uint64_t word = (uint64_t{key32} << 32) | (key64 & 0xFFFFFFFFu);
    return static_cast<uint32_t>((word * 0x9E37FFFFFFFC0001ull) >> (64 - power));
}

int kova_hash_attr_init(kova_hash_attr_s *attr)
{
    if (attr == nullptr) return -1;
    *attr = kova_hash_attr_s{};
    return 0;
}

void *kova_hash_malloc(kova_hash_attr_s *attr, uint32_t size)
{
    if (attr == nullptr || (attr->alloc == nullptr && attr->release == nullptr)) return std::malloc(size);
    if (attr->alloc == nullptr || attr->release == nullptr) {
        KOVA_LOG(kova::log::kInfo, "attr malloc(%p) and free(%p) must be matched", reinterpret_cast<void *>(attr->alloc),
                 reinterpret_cast<void *>(attr->release));
        return nullptr;
    }
    return attr->alloc(size);
}

void kova_hash_free(kova_hash_attr_s *attr, void *memory)
{
    if (attr != nullptr && attr->release != nullptr)
        attr->release(memory);
    else
        std::free(memory);
}

int kova_hash_create_ex(uint32_t count, kova_hash_table_s **table, uint32_t reserved, kova_hash_attr_s *attr)
{
    if (table == nullptr) return kInvalid;
    *table = nullptr;
    const uint32_t power = hash_get_pow(count), buckets = hash_pow(power);
    if (reserved > kMaxReserved || count == 0 || buckets == 0) return kInvalid;
    auto *created = static_cast<kova_hash_table_s *>(kova_hash_malloc(attr, sizeof(kova_hash_table_s)));
    if (created == nullptr) return kNoMemory;
    created->attr = attr;
    created->buckets = static_cast<Link *>(kova_hash_malloc(attr, buckets * static_cast<uint32_t>(sizeof(Link))));
    if (created->buckets == nullptr) {
        kova_hash_free(attr, created);
        return kNoMemory;
    }
    created->bucket_count = buckets;
    created->power = power;
    for (uint32_t b = 0; b < buckets; ++b) make_empty(&created->buckets[b]);
    *table = created;
    return 0;
}

int kova_hash_create(uint32_t count, kova_hash_table_s **table, uint32_t reserved)
{
    return kova_hash_create_ex(count, table, reserved, nullptr);
}

int kova_hash_destory(kova_hash_table_s *table, kova_hash_node_fn fn)
{
    if (table == nullptr) return kInvalid;
    walk(table, false, [fn](kova_hash_node_s *node) {
        unlink(&node->link);
        if (fn != nullptr) fn(node);
        return 0;
    });
    kova_hash_attr_s *attr = table->attr;
    kova_hash_free(attr, table->buckets);
    kova_hash_free(attr, table);
    return 0;
}

int kova_hash_insert(kova_hash_table_s *table, kova_hash_node_s *node)
{
    if (table == nullptr || node == nullptr) return kInvalid;
    if (find(table, node->key32, node->key64) != nullptr) return kExists;
    Link *head = bucket_of(table, node->key32, node->key64);
    node->link.next = head->next;
    node->link.prev = head;
    head->next->prev = &node->link;
    head->next = &node->link;
    return 0;
}

int kova_hash_delete(kova_hash_table_s *table, uint32_t key32, uint64_t key64, kova_hash_node_s **node)
{
    if (table == nullptr) return kInvalid;
    kova_hash_node_s *found = find(table, key32, key64);
    if (found == nullptr) return kAbsent;
    unlink(&found->link);
    if (node != nullptr) *node = found;
    return 0;
}

int kova_hash_search(kova_hash_table_s *table, uint32_t key32, uint64_t key64, kova_hash_node_s **node)
{
    if (table == nullptr || node == nullptr) return kInvalid;
    *node = find(table, key32, key64);
    return *node != nullptr ? 0 : kAbsent;
}

int kova_hash_for_each(kova_hash_table_s *table, kova_hash_visit_fn fn, int8_t stop)
{
    if (table == nullptr || fn == nullptr) return kInvalid;
    return walk(table, stop != 0, fn);
}

int kova_hash_for_each_ex(kova_hash_table_s *table, kova_hash_visit_ex_fn fn, void *arg, int8_t stop)
{
    if (table == nullptr || fn == nullptr) return kInvalid;
    return walk(table, stop != 0, [fn, arg](kova_hash_node_s *node) { return fn(node, arg); });
}

}  // extern "C"
