#include <atomic>
#include <thread>
#include <vector>

#include "lwp/lwp_test.h"

namespace kova::test {
namespace {

using kova::lwp::make_word;

TEST_F(LwpTest, IdsCarryDomainSlotAndSequenceAndAStaleIdNeverReachesTheReusedSlot)
{
    LogCapture log;
    std::uint64_t first = make("first", 2), second = make(std::string(70, 'n').c_str(), 2);
    EXPECT_EQ(first & 0xF0000000FFFFFFFFu, 0x2000000000004c70u);
    EXPECT_EQ(second - first, 0x100010000u);  // next sequence, next slot
    EXPECT_EQ(std::string(LwpInstGetName(second)), std::string(63, 'n'));
    ASSERT_EQ(LwpInstDelete(first, -1), 0);
    std::uint64_t again = make(nullptr, 2);
    EXPECT_EQ(again - first, 0x200000000u);  // the slot again, two sequence numbers on
    EXPECT_STREQ(LwpInstGetName(again), "None");
    const std::uint64_t stales[] = {first, (first & ~0xFFFFull) | LWP_INST_ID_DEAD, again ^ (1ull << 60)};
    for (std::uint64_t stale : stales)
        EXPECT_EQ(LwpInstGet(stale) + LwpInstPut(stale) + LwpInstDelete(stale, 0) + !!LwpInstInfoFind(stale), -3);
    EXPECT_EQ(word(again), make_word(LWP_INST_NORMAL, 0));
    EXPECT_TRUE(log.contains(text("Invalid instId:0x%lx current:0x%lx domainType(2) refers:0 state:4 name:None", first, again)));
    ASSERT_EQ(LwpInstDelete(again, -1), 0);
    EXPECT_EQ(LwpInstDelete(again, -1), -1);
    EXPECT_TRUE(log.contains(text("The inst:None id:0x%lx has been deleted", again)));
}

TEST_F(LwpTest, BadIdsAreRefusedWithTheirMessage)
{
    LogCapture log;
    std::uint64_t live = make();
    const std::pair<std::uint64_t, std::string> cases[] = {
        {3ull << 60 | 0x4c70, "Invalid domainType(3)."},
        {15ull << 60 | 0x4c70, "Invalid domainType(15)."},
        {16ull << 16 | 0x4c70, text("Invalid instId:0x%lx", 16ull << 16 | 0x4c70)},
        {live + (1ull << 60), text("Invalid instId:0x%lx current:0x0 domainType(1) refers:0 state:0 name:", live + (1ull << 60))},
    };
    for (const auto &[id, message] : cases) {
        clock_.advance(900001ull * 4000000);  // past every look-up limiter's window
        log.clear();
        EXPECT_EQ(LwpInstInfoFind(id), nullptr);
        EXPECT_TRUE(log.contains(message)) << message;
        EXPECT_EQ(LwpInstGet(id) + LwpInstDelete(id, 0), -2);
        EXPECT_TRUE(log.contains(text("Invalid instId:0x%lx pInst:(nil) for delete", id)));
    }
    EXPECT_EQ(LwpGetInstIdDomainType(3ull << 60), 3u);
    EXPECT_TRUE(log.contains(text("Invalid domainType(3), inst id(0x%lx).", 3ull << 60)));
    EXPECT_EQ(LwpGetInstIdDomainType(0), 3u);
    EXPECT_EQ(LwpInstNew("x", 3, 0, nullptr, nullptr), LWP_INST_ID_INVALID);
    EXPECT_EQ(word(live), make_word(LWP_INST_NORMAL, 0));
    for (int i = 0; i < 4; ++i) LwpInstInfoFind(5ull << 60);
    EXPECT_EQ(log.count("Invalid domainType(5)."), 3u);
    clock_.advance(750ull * 4000000);
    LwpInstInfoFind(5ull << 60);
    EXPECT_EQ(log.count("Invalid domainType(5)."), 4u);
}

TEST_F(LwpTest, ReferenceCountsNeverWrap)
{
    LogCapture log;
    std::uint64_t id = make("wrap");
    EXPECT_EQ(LwpInstPut(id), -1);
    LwpInstInfoFind(id)->refsState = make_word(LWP_INST_NORMAL, UINT32_MAX);
    EXPECT_EQ(LwpInstGet(id) + LwpInstPut(id), -1);
    EXPECT_EQ(log.count("Lwp inst:wrap put overflow") + log.count("Lwp inst:wrap get overflow"), 2u);
    EXPECT_EQ(word(id), make_word(LWP_INST_NORMAL, UINT32_MAX - 1));
}

TEST_F(LwpTest, DeletionWaitsForReferencesAndReportsTheirCallSitesAtGrowingIntervals)
{
    LogCapture log;
    std::uint64_t id = make("waited"), *site = nullptr;
    LwpAutoStatGetInst(&site);
    ASSERT_EQ(LwpInstGet(id), 0);
    ++*site;
    std::atomic<int> result{1};
    const std::uint64_t start = clock_.now();
    std::thread deleter([&] { result = LwpInstDelete(id, -1); });
    while (state(id) != LWP_INST_DELETING) std::this_thread::yield();
    EXPECT_EQ(LwpInstGet(id) + LwpInstDelete(id, -1), -2);
    EXPECT_TRUE(log.contains(text("Double delete inst:waited id:0x%lx", id)));
    const std::pair<std::uint64_t, std::size_t> schedule[] = {{999, 0}, {1000, 1}, {2999, 1}, {3000, 2}, {5999, 2}, {6000, 3}};
    for (auto [ms, reports] : schedule) {
        clock_.set(start + ms * 1000000);
        // Two more reads: the deleter has acted on the new time.
        for (std::uint64_t seen = clock_.reads(); clock_.reads() < seen + 2;) std::this_thread::yield();
        EXPECT_EQ(log.count("Lwp show auto statistic info of LWP_GET_INST, size:1024 used:1"), reports) << ms;
    }
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(LwpInstPut(id), 0);
    deleter.join();
    EXPECT_EQ(result.load(), 0);
}

TEST_F(LwpTest, ATimedOutDeletionLeavesAZombieThatWalksSkipAndDeletionReclaims)
{
    LogCapture log;
    std::uint64_t ids[] = {make("a"), make("b"), make("c")};
    LwpInstGet(ids[1]);
    clock_.step_per_read(1000000);  // every clock read is a millisecond later
    EXPECT_EQ(LwpInstDelete(ids[1], 100), LWP_DELETE_TIMED_OUT);
    clock_.step_per_read(0);
    EXPECT_EQ(state(ids[1]), LWP_INST_ZOMBIE);
    EXPECT_EQ(make("d") & 0xFFFFFFFFu, 0x34c70u);  // the zombie's slot is not reused
    std::vector<std::uint64_t> seen;
    LwpInstForEachFn record = [](std::uint64_t id, void *arg) -> int32_t {
        static_cast<std::vector<std::uint64_t> *>(arg)->push_back(id);
        return LwpInstInfoFind(id)->name[0] == 'c' ? 7 : 0;
    };
    EXPECT_EQ(LwpInstForEach(record, 0, &seen, 0), 7);
    EXPECT_EQ(seen, (std::vector{ids[0], ids[2]}));
    EXPECT_TRUE(log.contains(text("Run LwpForEach callback:%p fail:7", reinterpret_cast<void *>(record))));
    EXPECT_EQ(LwpInstForEachNormal(nullptr, 0, nullptr, 0) + LwpInstForEachNormal(record, 3, nullptr, 0), -2);
    EXPECT_TRUE(log.contains("Invalid param func is null"));
    EXPECT_EQ(LwpInstGet(ids[1]) + LwpInstPut(ids[1]), -1);
    EXPECT_EQ(LwpInstDelete(ids[1], 0), 0);
}

TEST_F(LwpTest, AttachMakesAnInstanceCurrentAndIdZeroMeansIt)
{
    std::uint64_t id = make("ctx", 1), old = 0;
    EXPECT_EQ(LwpCtxAttach(id, &old) + LwpCtxAttach(0, &old), 0);
    EXPECT_EQ(old, id);
    EXPECT_EQ(LwpCtxCurrent(), id);
    EXPECT_EQ(LwpGetInstIdDomainType(0), 1u);
    EXPECT_EQ(LwpInstGet(0), 0);
    EXPECT_EQ(word(id), make_word(LWP_INST_NORMAL, 1));
    LwpCtxAttach(LWP_INST_ID_INVALID, &old);
    EXPECT_EQ(old, id);
    EXPECT_EQ(LwpCtxCurrent(), LWP_INST_ID_INVALID);
}

struct ThreadProbe {
    std::atomic<std::uint64_t> current{0};
    std::atomic<bool> stop{false};
    bool delete_itself = false;
};

TEST_F(LwpTest, AnInstanceThreadRunsInItsInstanceAndIsJoinedByDeletion)
{
    auto body = [](void *arg, LwpInstInfo *inst) {
        auto *probe = static_cast<ThreadProbe *>(arg);
        const bool delete_itself = probe->delete_itself;
        std::uint64_t current = g_lwpInstCurrent == inst ? LwpCtxCurrent() : 1;
        if (delete_itself && LwpInstDelete(current, -1) != 0) current = 2;
        probe->current = current;  // a thread that deleted its instance touches the probe no more
        while (!delete_itself && !probe->stop) std::this_thread::yield();
    };
    ThreadProbe joined, own;
    own.delete_itself = true;
    std::uint64_t id = LwpInstNew("thr", 0, 0, body, &joined), self = LwpInstNew("self", 0, 0, body, &own);
    while (joined.current == 0 || own.current == 0) std::this_thread::yield();
    EXPECT_EQ(joined.current.load(), id);
    EXPECT_EQ(own.current.load(), self);
    EXPECT_EQ(LwpInstInfoFind(self), nullptr);
    joined.stop = true;
    EXPECT_EQ(LwpInstDelete(id, -1), 0);
}

}  // namespace
}  // namespace kova::test
