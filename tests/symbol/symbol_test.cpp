#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>

#include "kova/kova_lock.h"
#include "kova/kova_symbol.h"
#include "symbol/symbol_internal.h"

namespace kova::test {
namespace {

[[gnu::noinline]] int resolve_me(int x) { return x * 3 + 1; }

class Symbol : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(kova_symbol_init_sync(), 0); }
};

std::uint64_t address_of(const void *p) { return reinterpret_cast<std::uint64_t>(p); }
std::uint64_t resolve_me_address() { return address_of(reinterpret_cast<void *>(resolve_me)); }

TEST_F(Symbol, TheMainProgramResolvesWithItsExecutablePath)
{
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    std::uint64_t address = resolve_me_address();
    kova_symbol_info_s info;
    kova_symbol_range_s range;
    ASSERT_EQ(symbol_find_by_own(address + 1, &info, &range), 0);
    EXPECT_STREQ(info.file, exe);
    EXPECT_NE(std::string(info.name).find("resolve_me"), std::string::npos);
    EXPECT_TRUE(info.start == address && info.type == 2 && range.vaddr_start <= address && address < range.vaddr_end);
    char text[128];
    ASSERT_NE(kova_symbol_addr_to_string(address + 5, text, sizeof text), nullptr);
    EXPECT_EQ(std::string(text), std::string(info.name) + "+0x5");
    EXPECT_EQ(kova_symbol_valid_address(address), 1);
    // A buffer too small for the text gives nothing, not a cut name.
    EXPECT_EQ(kova_symbol_addr_to_string(address, text, 4), nullptr);
    EXPECT_STREQ(text, "");
}

TEST_F(Symbol, BadArgumentsAndABusyIndexAnswerAtOnce)
{
    kova_symbol_info_s info;
    char text[64] = "old";
    for (std::uint64_t bad : {std::uint64_t{0}, ~std::uint64_t{0}}) {
        EXPECT_EQ(symbol_find_by_own(bad, &info, nullptr), KOVA_SYMBOL_EINVAL);
        EXPECT_EQ(kova_symbol_addr_to_string(bad, text, sizeof text), nullptr);
        EXPECT_STREQ(text, "");
        EXPECT_EQ(kova_symbol_valid_address(bad), 0);
    }
    std::uint64_t address = resolve_me_address();
    EXPECT_EQ(symbol_find_by_own(address, nullptr, nullptr), KOVA_SYMBOL_EINVAL);
    EXPECT_EQ(kova_symbol_addr_to_string(address, nullptr, 8), nullptr);
    EXPECT_EQ(kova_symbol_find(8, &info), -1);  // inside no object
    symbol_rwlock_wrlock_mayblock(kova::symbol::index_lock());
    EXPECT_EQ(symbol_find_by_own(address, &info, nullptr), KOVA_SYMBOL_EBUSY);
    EXPECT_EQ(kova_symbol_valid_address(address), KOVA_SYMBOL_EBUSY);
    EXPECT_EQ(kova_symbol_addr_to_string(address, text, sizeof text), nullptr);
    kova_rwlock_write_unlock(kova::symbol::index_lock());
    EXPECT_EQ(symbol_find_by_own(address, &info, nullptr), 0);
}

// Every address of libc's executable range resolves to the symbol dladdr names or to a nearer
// one (dladdr knows only exported symbols), never to one above the address.
TEST_F(Symbol, AgreesWithDladdrAcrossLibc)
{
    kova_symbol_info_s info;
    kova_symbol_range_s range;
    void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);  // not a sanitizer's interceptor
    ASSERT_NE(libc, nullptr);
    ASSERT_EQ(symbol_find_by_own(address_of(dlsym(libc, "abort")), &info, &range), 0);
    dlclose(libc);
    std::uint64_t step = (range.vaddr_end - range.vaddr_start) / 5000 | 1;
    int compared = 0;
    for (std::uint64_t address = range.vaddr_start; address < range.vaddr_end; address += step) {
        Dl_info known;
        if (dladdr(reinterpret_cast<void *>(address), &known) == 0 || known.dli_saddr == nullptr) continue;
        if (symbol_find_by_own(address, &info, nullptr) != 0) continue;  // before the first symbol
        ASSERT_LE(info.start, address);
        ASSERT_GE(info.start, address_of(known.dli_saddr)) << known.dli_sname << " vs " << info.name;
        ASSERT_STREQ(info.file, known.dli_fname);
        ++compared;
    }
    EXPECT_GT(compared, 1000);
}

// Requests made while a pass runs fold into exactly one more pass.
TEST_F(Symbol, UpdatesDuringAPassFoldIntoOneMore)
{
    std::int64_t *lock = kova::symbol::index_lock();
    symbol_rwlock_wrlock_mayblock(lock);  // the next pass stops at its first step
    std::uint64_t before = kova::symbol::passes_run();
    std::thread pass([] { kova_symbol_update_sync(); });
    while (kova::symbol::pending_requests() != 1) std::this_thread::yield();
    ASSERT_TRUE(kova_symbol_update() == 0 && kova_symbol_update() == 0);
    while (kova::symbol::pending_requests() != 3) std::this_thread::yield();  // queued works have asked
    kova_rwlock_write_unlock(lock);
    pass.join();
    EXPECT_TRUE(kova::symbol::passes_run() - before == 2 && kova::symbol::pending_requests() == 0);
}

// A lookup racing update passes gives the busy answer or the right one, never another.
TEST_F(Symbol, LookupsRacingUpdatesAreBusyOrRight)
{
    std::uint64_t address = resolve_me_address() + 2;
    kova_symbol_info_s expected;
    ASSERT_EQ(symbol_find_by_own(address, &expected, nullptr), 0);
    std::atomic<bool> done{false};
    std::thread updater([&] {
        for (int i = 0; i < 20; ++i) kova_symbol_update_sync();
        done.store(true);
    });
    while (!done.load()) {
        kova_symbol_info_s info;
        int32_t result = symbol_find_by_own(address, &info, nullptr);
        ASSERT_TRUE(result == 0 || result == KOVA_SYMBOL_EBUSY) << result;
        if (result == 0) {
            ASSERT_TRUE(info.start == expected.start && std::string(info.name) == expected.name);
        }
    }
    updater.join();
    EXPECT_EQ(symbol_find_by_own(address, &expected, nullptr), 0);
}

}  // namespace
}  // namespace kova::test
