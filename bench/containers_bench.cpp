// The hash table against std::unordered_map and boost::intrusive::unordered_set, the AVL tree
// against boost::intrusive::avltree (the same intrusive designs), and the bit search against a
// naive loop and a __builtin_ctzll word scan. Each case does the same work on the same keys.
// Without boost's headers its cases are left out.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#if __has_include(<boost/intrusive/avltree.hpp>)
#include <boost/intrusive/avltree.hpp>
#include <boost/intrusive/unordered_set.hpp>
#define KOVA_BENCH_HAVE_BOOST 1
#endif

#include "kova/kova_avl.h"
#include "kova/kova_bitops.h"
#include "kova/kova_hash.h"

namespace {

constexpr std::size_t kKeys = 4096;

std::vector<std::uint64_t> keys()
{
    std::vector<std::uint64_t> v(kKeys);
    std::mt19937_64 random(9);
    for (auto &k : v) k = random() & 0xFFFFFFFF;
    return v;
}

// One record type per structure and library, each with only its own link and the key, so that
// every case walks records of about the same size (the library's AVL node is a word larger than
// boost's, which packs the balance into the parent pointer).
struct AvlRecord {
    kova_avl_node_s avl{};
    std::uint64_t key = 0;
};
struct HashRecord {
    kova_hash_node_s hash{};
    std::uint64_t key = 0;
};

#ifdef KOVA_BENCH_HAVE_BOOST
namespace bi = boost::intrusive;
struct AvlItem : bi::avl_set_base_hook<bi::link_mode<bi::normal_link>> {
    std::uint64_t key = 0;
    bool operator<(const AvlItem &o) const { return key < o.key; }
};
struct HashItem : bi::unordered_set_base_hook<bi::link_mode<bi::normal_link>> {
    std::uint64_t key = 0;
    bool operator==(const HashItem &o) const { return key == o.key; }
    friend std::size_t hash_value(const HashItem &i) { return std::hash<std::uint64_t>()(i.key); }
};
#endif

// The three-way comparison every AVL case uses: the tree calls it through a pointer, one boost
// case through the same kind of pointer, the other inlines its own `<`.
template <typename Record>
int compare(const void *value, const void *record)
{
    auto a = *static_cast<const std::uint64_t *>(value), b = static_cast<const Record *>(record)->key;
    return (a > b) - (a < b);
}

template <typename Record>
std::vector<Record> items()
{
    std::vector<Record> v(kKeys);
    auto k = keys();
    for (std::size_t i = 0; i < kKeys; ++i) v[i].key = k[i];
    if constexpr (std::is_same_v<Record, HashRecord>)
        for (auto &r : v) r.hash.key64 = r.key;
    return v;
}

// Insert all, find all, erase all: one iteration is kKeys of each.
void avl_kova(benchmark::State &state)
{
    auto v = items<AvlRecord>();
    kova_avl_tree_s tree;
    kova_create_avl(&tree, compare<AvlRecord>, sizeof(AvlRecord), offsetof(AvlRecord, avl));
    for (auto _ : state) {
        for (auto &i : v) kova_add_avl_node(&tree, &i);
        for (auto &i : v) benchmark::DoNotOptimize(kova_find_avl_node(&tree, &i.key, nullptr));
        for (auto &i : v) kova_remove_avl_node(&tree, &i);
    }
}
BENCHMARK(avl_kova);

void hash_kova(benchmark::State &state)
{
    auto v = items<HashRecord>();
    kova_hash_table_s *table = nullptr;
    kova_hash_create(kKeys, &table, 0);
    kova_hash_node_s *found = nullptr;
    for (auto _ : state) {
        for (auto &i : v) kova_hash_insert(table, &i.hash);
        for (auto &i : v) benchmark::DoNotOptimize(kova_hash_search(table, 0, i.key, &found));
        for (auto &i : v) kova_hash_delete(table, 0, i.key, nullptr);
    }
    kova_hash_destory(table, nullptr);
}
BENCHMARK(hash_kova);

void hash_std_unordered_map(benchmark::State &state)
{
    auto v = items<HashRecord>();
    std::unordered_map<std::uint64_t, HashRecord *> map(kKeys);
    for (auto _ : state) {
        for (auto &i : v) map.emplace(i.key, &i);
        for (auto &i : v) benchmark::DoNotOptimize(map.find(i.key));
        for (auto &i : v) map.erase(i.key);
    }
}
BENCHMARK(hash_std_unordered_map);

#ifdef KOVA_BENCH_HAVE_BOOST
// Boost's `<` through the same comparison function, called through a pointer that the compiler
// cannot see through (read from a volatile when the tree is made), as the library's tree calls it.
using CompareFn = int (*)(const void *, const void *);
CompareFn volatile compare_items = compare<AvlItem>;
struct PointerLess {
    CompareFn fn = compare_items;
    bool operator()(const AvlItem &a, const AvlItem &b) const { return fn(&a.key, &b) < 0; }
};

template <typename Less>
void avl_boost(benchmark::State &state)
{
    auto v = items<AvlItem>();
    bi::avltree<AvlItem, bi::compare<Less>> tree{Less{}};
    for (auto _ : state) {
        for (auto &i : v) tree.insert_unique(i);
        for (auto &i : v) benchmark::DoNotOptimize(tree.find(i));
        for (auto &i : v) tree.erase(tree.iterator_to(i));
    }
}
BENCHMARK(avl_boost<std::less<AvlItem>>)->Name("avl_boost_intrusive");
BENCHMARK(avl_boost<PointerLess>)->Name("avl_boost_intrusive_compare_pointer");

void hash_boost_intrusive(benchmark::State &state)
{
    auto v = items<HashItem>();
    using Set = bi::unordered_set<HashItem>;
    std::vector<Set::bucket_type> buckets(kKeys);
    Set set(Set::bucket_traits(buckets.data(), buckets.size()));
    for (auto _ : state) {
        for (auto &i : v) set.insert(i);
        for (auto &i : v) benchmark::DoNotOptimize(set.find(i));
        for (auto &i : v) set.erase(set.iterator_to(i));
    }
}
BENCHMARK(hash_boost_intrusive);
#endif

// Every set bit of a bitmap with one bit in 32 set, range(0) bits long.
std::vector<std::uint64_t> sparse_bitmap(std::size_t bits)
{
    std::vector<std::uint64_t> map(bits / 64);
    std::mt19937 random(4);
    for (std::size_t i = 0; i < bits; ++i)
        if (random() % 32 == 0) map[i / 64] |= 1ull << (i % 64);
    return map;
}

void bits_kova_find_next_bit(benchmark::State &state)
{
    const auto bits = static_cast<std::uint64_t>(state.range(0));
    auto map = sparse_bitmap(bits);
    for (auto _ : state)
        for (std::uint64_t b = find_first_bit(map.data(), bits); b < bits; b = find_next_bit(map.data(), bits, b + 1))
            benchmark::DoNotOptimize(b);
}
BENCHMARK(bits_kova_find_next_bit)->Arg(512)->Arg(4096);

// The baselines answer the same question through the same interface, so every case walks the
// set bits with one call per bit: a word scan with __builtin_ctzll, and a bit-by-bit loop.
std::uint64_t ctz_find_next(const std::uint64_t *map, std::uint64_t size, std::uint64_t offset)
{
    if (offset >= size) return size;
    std::uint64_t w = offset / 64, word = map[w] & (~0ull << (offset % 64));
    while (word == 0)
        if (++w * 64 >= size) return size;
        else word = map[w];
    return std::min<std::uint64_t>(w * 64 + static_cast<unsigned>(__builtin_ctzll(word)), size);
}

std::uint64_t naive_find_next(const std::uint64_t *map, std::uint64_t size, std::uint64_t offset)
{
    for (; offset < size; ++offset)
        if ((map[offset / 64] >> (offset % 64)) & 1) return offset;
    return size;
}

template <std::uint64_t (*kFindNext)(const std::uint64_t *, std::uint64_t, std::uint64_t)>
void bits_baseline(benchmark::State &state)
{
    const auto bits = static_cast<std::uint64_t>(state.range(0));
    auto map = sparse_bitmap(bits);
    for (auto _ : state)
        for (std::uint64_t b = kFindNext(map.data(), bits, 0); b < bits; b = kFindNext(map.data(), bits, b + 1))
            benchmark::DoNotOptimize(b);
}
BENCHMARK(bits_baseline<ctz_find_next>)->Name("bits_ctz_scan")->Arg(512)->Arg(4096);
BENCHMARK(bits_baseline<naive_find_next>)->Name("bits_naive_loop")->Arg(512)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
