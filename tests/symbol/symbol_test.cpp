#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "kova/kova_lock.h"
#include "kova/kova_symbol.h"
#include "kova/kova_bitops.h"
#include "symbol/symbol_internal.h"
#include "support/temp_root.h"
#include "thread/thread_test.h"

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

struct NmSymbol {
    std::uint64_t value, size;
    std::string name, type;
};

// What nm lists of the table the resolver reads (".symtab", else ".dynsym"): sized objects,
// functions and indirect functions ("<OS specific>: 10"), by value.
std::vector<NmSymbol> nm_symbols(const std::string &path)
{
    std::vector<NmSymbol> symbols;
    for (std::string table : {"", "-D "}) {
        std::FILE *nm = popen(("nm -S --defined-only --format=sysv " + table + "'" + path + "' 2>/dev/null").c_str(), "r");
        char line[1024], name[512], type[64];
        unsigned long long value, size;
        while (nm != nullptr && std::fgets(line, sizeof line, nm) != nullptr) {
            std::string kind = std::sscanf(line, "%511[^|]|%llx|%*[^|]|%63[^|]|%llx", name, &value, type, &size) == 4 ? type : "";
            if (size != 0 && (kind.ends_with("FUNC") || kind.ends_with("OBJECT") || kind.ends_with(": 10")))
                symbols.push_back({value, size, std::string(name, std::min(std::strcspn(name, "@ "), std::size_t{63})), kind});
        }
        if (nm != nullptr) pclose(nm);
        if (!symbols.empty()) break;
    }
    std::sort(symbols.begin(), symbols.end(), [](auto &a, auto &b) { return a.value < b.value; });
    return symbols;
}

// Looks up the start, middle and end (the gap after) of every function nm lists in the object
// loaded at `base`. The answer must be a symbol holding the address (name and start: versioned
// aliases differ in size), else the nearest one below; dladdr, where it knows one, names it or
// one further below (it sees exported symbols only). Returns the number of addresses checked.
std::size_t check_against_nm(const std::string &path, std::uint64_t base)
{
    std::vector<NmSymbol> symbols = nm_symbols(path);
    std::size_t checked = 0;
    for (const NmSymbol &function : symbols) {
        for (std::uint64_t key : {function.value, function.value + function.size / 2, function.value + function.size}) {
            if (function.type.ends_with("OBJECT")) break;
            auto above = std::upper_bound(symbols.begin(), symbols.end(), key, [](auto k, auto &s) { return k < s.value; });
            bool held = std::any_of(symbols.begin(), above, [key](auto &s) { return key - s.value < s.size; });
            kova_symbol_info_s info{};
            std::uint64_t address = base + key;
            EXPECT_EQ(symbol_find_by_own(address, &info, nullptr), above == symbols.begin() ? -1 : 0) << std::hex << key;
            bool agrees = std::any_of(symbols.begin(), above, [&](auto &s) {
                return s.value == info.value && s.name == info.name && (held ? key - s.value < s.size : s.value == std::prev(above)->value);
            });
            EXPECT_TRUE(above == symbols.begin() || (agrees && info.start == base + info.value && path == info.file))
                << path << " +0x" << std::hex << key << ": " << info.name << " at 0x" << info.value;
            Dl_info known;
            if (dladdr(reinterpret_cast<void *>(address), &known) != 0 && known.dli_saddr != nullptr) {
                EXPECT_TRUE(info.start <= address && info.start >= address_of(known.dli_saddr)) << known.dli_sname;
            }
            ++checked;
        }
    }
    return checked;
}

std::pair<std::string, std::uint64_t> loaded_object(void *handle)
{
    link_map *map = nullptr;
    return dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 ? std::pair{std::string(map->l_name), map->l_addr} : std::pair{"", 0ul};
}

TEST_F(Symbol, AgreesWithNmAndDladdrOnLibc)
{
    void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);  // not a sanitizer's interceptor
    ASSERT_NE(libc, nullptr);
    auto [path, base] = loaded_object(libc);
    dlclose(libc);
    EXPECT_GT(check_against_nm(path, base), 3000u);
}

// The project's own library, then a copy of it loaded where it was (the same layout) before any
// pass: the copy is indexed under its own file and agrees with nm; once kova_dlclose unloads it,
// the pass that call asks for drops its range.
TEST_F(Symbol, ObjectsLoadedAndUnloadedAreIndexedAndDropped)
{
    TempRoot root;
    std::ifstream original(KOVA_SHARED_LIBRARY, std::ios::binary);
    root.write("/libkova-copy.so", std::string(std::istreambuf_iterator<char>(original), {}));
    void *library = dlopen(KOVA_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    kova_symbol_update_sync();
    dlclose(library);
    library = kova_dlopen(root.path("/libkova-copy.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    kova_symbol_update_sync();
    auto [path, base] = loaded_object(library);
    auto init = address_of(dlsym(library, "kova_Init"));
    kova_symbol_info_s info;
    kova_symbol_range_s range;
    ASSERT_EQ(symbol_find_by_own(init, &info, &range), 0);
    EXPECT_TRUE(std::string(info.name) == "kova_Init" && path == info.file) << info.file;
    EXPECT_GT(check_against_nm(path, base), 3000u);
    ASSERT_EQ(kova_dlclose(library), 0);
    ASSERT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library stayed loaded";
    ASSERT_TRUE(wait_until([&] { return symbol_find_by_own(init, &info, nullptr) == -1; }));
    for (std::uint64_t address = range.vaddr_start; address < range.vaddr_end; address += 4093)
        ASSERT_EQ(symbol_find_by_own(address, &info, nullptr), -1) << std::hex << address;
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

// A lookup racing update passes gives the busy answer or the right one, never another, while
// the passes add and drop an object's node and so reshape the tree.
TEST_F(Symbol, LookupsRacingUpdatesAreBusyOrRight)
{
    std::uint64_t address = resolve_me_address() + 2;
    kova_symbol_info_s expected;
    ASSERT_EQ(symbol_find_by_own(address, &expected, nullptr), 0);
    std::atomic<bool> done{false};
    std::thread updater([&] {
        for (int i = 0; i < 20; ++i) {
            void *library = kova_dlopen(KOVA_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
            kova_symbol_update_sync();
            kova_dlclose(library);
            kova_symbol_update_sync();
        }
        done.store(true);
    });
    int wrong = 0;
    while (!done.load()) {
        kova_symbol_info_s info;
        int32_t result = symbol_find_by_own(address, &info, nullptr);
        wrong += result != KOVA_SYMBOL_EBUSY &&
                 (result != 0 || info.start != expected.start || std::string(info.name) != expected.name);
    }
    updater.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(symbol_find_by_own(address, &expected, nullptr), 0);
}

}  // namespace
}  // namespace kova::test
