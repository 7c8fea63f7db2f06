#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kovalog/kovalog.h"
#include "lwp/lwp_test.h"

namespace kova::test {
namespace {

std::atomic<std::uint64_t> constructed{0}, destroyed{0}, faults{0};
std::uint64_t self_var = 0;

// Constructors with argument 1 put the instance's own id into its "self" slot; whoever holds a
// reference, and the destructor, must find it there.
bool holds_own_id(std::uint64_t inst) { return *static_cast<std::uint64_t *>(LwpVarRaw(inst, self_var)) == inst; }
int32_t construct(std::uint64_t inst, std::uint64_t self)
{
    return (self != 0 ? *static_cast<std::uint64_t *>(LwpVarRaw(inst, self_var)) = inst : 0), constructed++, 0;
}
int32_t destroy(std::uint64_t inst, std::uint64_t self) { return faults += self != 0 && !holds_own_id(inst), destroyed++, 0; }

void use(std::uint64_t id)
{
    if (id == 0 || LWP_INST_GET_COUNTED(id) != 0) return;  // stale by now: refused without harm
    if (!holds_own_id(id) || LWP_INST_PUT_COUNTED(id) != 0) faults.fetch_add(1);
}

class LwpStress : public LwpTest {
    void configure() override { LwpCfgSetMaxInstNum(4); }
};

// Four threads create, look up, reference, walk and delete instances of one domain through six
// shared cells while one of them registers variables: a reference is only ever taken on the
// instance its id names, every constructed variable is destroyed once, every slot ends free.
TEST_F(LwpStress, CreateFindGetPutDeleteAndRegisterFromSeveralThreads)
{
    const int iterations = std::getenv("UNDER_QEMU") != nullptr ? 5000 : 100000;
    int saved_level = kovalog_loglevel_get(KOVA_MODULE_ID);
    kovalog_loglevel_set(KOVA_MODULE_ID, 2);  // stale ids are expected here by the thousand
    constructed = destroyed = faults = 0;
    LwpVarCtor self{construct, 1, destroy, 1}, late{construct, 0, destroy, 0};
    ASSERT_NE(self_var = LwpVarRegister("self", 0, nullptr, 0, &self, nullptr), LWP_VAR_ID_INVALID);
    std::atomic<std::uint64_t> cells[6] = {};
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::uint32_t rng = 2463534242u + t;
            auto next = [&] { return rng ^= rng << 13, rng ^= rng >> 17, rng ^= rng << 5; };
            for (int i = 0; i < iterations; ++i) {
                std::atomic<std::uint64_t> &cell = cells[next() % 6];
                std::uint32_t op = next() % 8;
                std::uint64_t id = 0, empty = 0;
                if (t == 0 && i % (iterations / 8) == 0) {
                    if (LwpVarRegister("late", 0, nullptr, 0, &late, nullptr) == LWP_VAR_ID_INVALID) faults.fetch_add(1);
                } else if (op == 0) {
                    id = LwpInstNew("stress", 0, 0, nullptr, nullptr);
                    if (id != LWP_INST_ID_INVALID && !cell.compare_exchange_strong(empty, id) &&
                        LwpInstDelete(id, -1) != 0)
                        faults.fetch_add(1);
                } else if (op == 1) {
                    if ((id = cell.exchange(0)) != 0 && LwpInstDelete(id, -1) != 0) faults.fetch_add(1);
                } else if (op == 2) {
                    LwpInstForEachNormal([](std::uint64_t each, void *) { return use(each), 0; }, 0, nullptr, 0);
                } else {
                    use(cell.load());
                }
            }
        });
    for (std::thread &thread : threads) thread.join();
    for (auto &cell : cells) EXPECT_TRUE(cell.load() == 0 || LwpInstDelete(cell.load(), -1) == 0);
    kovalog_loglevel_set(KOVA_MODULE_ID, saved_level);
    EXPECT_EQ(faults.load(), 0u);
    EXPECT_GT(constructed.load(), 0u);
    EXPECT_EQ(constructed.load(), destroyed.load());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(kova::lwp::inst_table(0).slots.load()[i].refsState, 0u) << i;
}

}  // namespace
}  // namespace kova::test
