// Insert and erase of a million preallocated nodes with random keys: the library's red-black
// tree against boost::intrusive::rbtree (the same intrusive design; target within 1.2x) and
// std::multiset (allocating). Skips the boost case when its headers are absent.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include <benchmark/benchmark.h>

#if __has_include(<boost/intrusive/rbtree.hpp>)
#include <boost/intrusive/rbtree.hpp>
#define KOVA_BENCH_HAVE_BOOST 1
#endif

#include "kova/kova_rbtree.h"

namespace {

constexpr std::size_t kNodes = 1000000;

struct Workload {
    std::vector<std::uint64_t> keys;
    std::vector<std::size_t> erase_order;
    Workload() : keys(kNodes), erase_order(kNodes)
    {
        std::mt19937_64 random(7);
        for (auto &key : keys) key = random();
        std::iota(erase_order.begin(), erase_order.end(), 0);
        std::shuffle(erase_order.begin(), erase_order.end(), random);
    }
};

const Workload &workload()
{
    static const Workload w;
    return w;
}

struct KovaItem {
    kova_rb_node_s node;
    std::uint64_t key;
};

void kova_rbtree(benchmark::State &state)
{
    const Workload &w = workload();
    std::vector<KovaItem> items(kNodes);
    for (std::size_t i = 0; i < kNodes; ++i) items[i].key = w.keys[i];
    for (auto _ : state) {
        kova_rb_root_s root = KOVA_RB_ROOT_INIT;
        for (KovaItem &item : items) {
            kova_rb_node_s **link = &root.node, *parent = nullptr;
            while (*link != nullptr) {
                parent = *link;
                link = item.key < reinterpret_cast<KovaItem *>(parent)->key ? &parent->left : &parent->right;
            }
            kova_rb_link_node(&item.node, parent, link);
            kova_rb_insert_color(&item.node, &root);
        }
        for (std::size_t i : w.erase_order) kova_rb_erase(&items[i].node, &root);
        benchmark::DoNotOptimize(root.node);
    }
}
BENCHMARK(kova_rbtree)->Unit(benchmark::kMillisecond);

#ifdef KOVA_BENCH_HAVE_BOOST
namespace bi = boost::intrusive;

struct BoostItem : bi::set_base_hook<bi::link_mode<bi::normal_link>> {
    std::uint64_t key;
    bool operator<(const BoostItem &other) const { return key < other.key; }
};

void boost_intrusive_rbtree(benchmark::State &state)
{
    const Workload &w = workload();
    std::vector<BoostItem> items(kNodes);
    for (std::size_t i = 0; i < kNodes; ++i) items[i].key = w.keys[i];
    for (auto _ : state) {
        bi::rbtree<BoostItem> tree;
        for (BoostItem &item : items) tree.insert_equal(item);
        for (std::size_t i : w.erase_order) tree.erase(tree.iterator_to(items[i]));
        benchmark::DoNotOptimize(tree.empty());
    }
}
BENCHMARK(boost_intrusive_rbtree)->Unit(benchmark::kMillisecond);
#endif

void std_multiset(benchmark::State &state)
{
    const Workload &w = workload();
    for (auto _ : state) {
        std::multiset<std::uint64_t> tree;
        std::vector<std::multiset<std::uint64_t>::iterator> where(kNodes);
        for (std::size_t i = 0; i < kNodes; ++i) where[i] = tree.insert(w.keys[i]);
        for (std::size_t i : w.erase_order) tree.erase(where[i]);
        benchmark::DoNotOptimize(tree.empty());
    }
}
BENCHMARK(std_multiset)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
