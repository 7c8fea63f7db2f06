// Steady state of an ordered set with N members (N = 1 thousand to 1 million): each iteration
// inserts one node with a random key and erases the oldest member, so N nodes stay present, as
// in a queue of pending timers. The library's red-black tree against boost::intrusive::rbtree
// (the same intrusive design) and std::multiset (allocating), on the same keys in the same order.
// Without boost's headers its case is left out.
#include <cstdint>
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

constexpr std::size_t kKeys = std::size_t{1} << 20;

const std::vector<std::uint64_t> &keys()
{
    static const std::vector<std::uint64_t> k = [] {
        std::vector<std::uint64_t> v(kKeys);
        std::mt19937_64 random(7);
        for (auto &key : v) key = random();
        return v;
    }();
    return k;
}

// Member u (the u-th inserted, key u) lives in slot u mod (N + 1). Members 0 to N - 1 are set up
// first; then each step inserts member u + N into the free slot and erases member u.
class Ring {
public:
    explicit Ring(std::size_t members) : size(members + 1), in_(members), next_key_(members) {}
    static std::uint64_t key(std::size_t u) { return keys()[u % kKeys]; }
    std::size_t incoming() const { return in_; }
    std::size_t outgoing() const { return out_; }
    std::uint64_t incoming_key() const { return keys_[next_key_ % kKeys]; }
    void step()
    {
        in_ = in_ + 1 == size ? 0 : in_ + 1;
        out_ = out_ + 1 == size ? 0 : out_ + 1;
        ++next_key_;
    }
    const std::size_t size;

private:
    std::size_t in_, out_ = 0, next_key_;
    const std::uint64_t *keys_ = keys().data();
};

struct KovaItem {
    kova_rb_node_s node;
    std::uint64_t key;
};

void kova_insert(kova_rb_root_s &root, KovaItem &item)
{
    kova_rb_node_s **link = &root.node, *parent = nullptr;
    while (*link != nullptr) {
        parent = *link;
        link = item.key < reinterpret_cast<KovaItem *>(parent)->key ? &parent->left : &parent->right;
    }
    kova_rb_link_node(&item.node, parent, link);
    kova_rb_insert_color(&item.node, &root);
}

void kova_rbtree(benchmark::State &state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    Ring ring(n);
    std::vector<KovaItem> items(ring.size);
    kova_rb_root_s root = KOVA_RB_ROOT_INIT;
    for (std::size_t u = 0; u < n; ++u) {
        items[u].key = Ring::key(u);
        kova_insert(root, items[u]);
    }
    for (auto _ : state) {
        KovaItem &in = items[ring.incoming()];
        in.key = ring.incoming_key();
        kova_insert(root, in);
        kova_rb_erase(&items[ring.outgoing()].node, &root);
        ring.step();
    }
    benchmark::DoNotOptimize(root.node);
}

#ifdef KOVA_BENCH_HAVE_BOOST
namespace bi = boost::intrusive;

struct BoostItem : bi::set_base_hook<bi::link_mode<bi::normal_link>> {
    std::uint64_t key;
    bool operator<(const BoostItem &other) const { return key < other.key; }
};

void boost_intrusive_rbtree(benchmark::State &state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    Ring ring(n);
    std::vector<BoostItem> items(ring.size);
    bi::rbtree<BoostItem> tree;
    for (std::size_t u = 0; u < n; ++u) {
        items[u].key = Ring::key(u);
        tree.insert_equal(items[u]);
    }
    for (auto _ : state) {
        BoostItem &in = items[ring.incoming()];
        in.key = ring.incoming_key();
        tree.insert_equal(in);
        tree.erase(tree.iterator_to(items[ring.outgoing()]));
        ring.step();
    }
    benchmark::DoNotOptimize(tree.size());
    tree.clear();
}
#endif

void std_multiset(benchmark::State &state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    Ring ring(n);
    std::multiset<std::uint64_t> tree;
    std::vector<std::multiset<std::uint64_t>::iterator> where(ring.size);
    for (std::size_t u = 0; u < n; ++u) where[u] = tree.insert(Ring::key(u));
    for (auto _ : state) {
        where[ring.incoming()] = tree.insert(ring.incoming_key());
        tree.erase(where[ring.outgoing()]);
        ring.step();
    }
    benchmark::DoNotOptimize(tree.size());
}

void sizes(benchmark::internal::Benchmark *b) { b->RangeMultiplier(10)->Range(1000, 1000000); }

BENCHMARK(kova_rbtree)->Apply(sizes);
#ifdef KOVA_BENCH_HAVE_BOOST
BENCHMARK(boost_intrusive_rbtree)->Apply(sizes);
#endif
BENCHMARK(std_multiset)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
