#include <algorithm>
#include <cstdint>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_cpu.h"
#include "kova/kova_cpumask.h"
#include "kova/kova_thrd.h"
#include "cpu/cpu_selection.h"
#include "support/log_capture.h"

namespace {

using Set = std::vector<uint64_t>;

Set parse(const std::string &text, int &result, Set set = Set(16))
{
    result = kova_cpum_parse_cpumask(text.c_str(), set.data());
    return set;
}

// The grammar again, independently: an item is a number or two joined by '-', blanks around.
int reference_parse(const std::string &text, Set &set)
{
    static const std::regex item(R"(\s*(\d+)(?:-(\d+))?\s*)");
    int result = -1;
    std::smatch m;
    for (std::size_t from = 0, comma = 0; comma != std::string::npos; from = comma + 1) {
        comma = text.find(',', from);
        std::string part = text.substr(from, comma == std::string::npos ? comma : comma - from);
        if (!std::regex_match(part, m, item)) continue;
        double first = std::stod(m[1]), last = m[2].matched ? std::stod(m[2]) : first;
        if (first > UINT32_MAX || last > UINT32_MAX || first > std::min(last, 1023.0)) continue;
        for (auto cpu = static_cast<unsigned>(first); cpu <= std::min(last, 1023.0); ++cpu)
            set[cpu / 64] |= 1ull << (cpu % 64);
        result = 0;
    }
    return result;
}

// The number grammar alone: no partition table is consulted (nor loaded) while it lives.
struct NoPartitionTable {
    NoPartitionTable() { kova::cpu::set_partition_hooks(nullptr); }
    ~NoPartitionTable() { kova::cpu::set_partition_hooks(&kova::cpu::partition_table_hooks); }
};

Set cpus(const std::string &list)
{
    Set set(16);
    reference_parse(list, set);
    return set;
}

// Numbers that do not fit in 32 bits, signs and malformed ranges are invalid items, never CPUs.
TEST(ParseCpumask, TakesNumbersAndRangesUpToCpu1023AndSkipsInvalidItems)
{
    NoPartitionTable numbers_only;
    kova::test::LogCapture log;
    int result = 0;
    for (auto [text, taken] : {std::pair{"2,4-6", "2,4-6"}, {" 7 , 9-10\n", "7,9,10"}, {"4294967297,3", "3"},
                               {"1021-2000,2000-3000,4294967295", "1021-1023"}, {"0000000000000000000000005", "5"}}) {
        EXPECT_EQ(parse(text, result), cpus(taken)) << text;
        EXPECT_EQ(result, 0) << text;
    }
    for (const char *bad : {"4294967296", "-4294967295", "1--3", "0-4294967296", "+1", "2-", "3x", "1 - 3", ""}) {
        EXPECT_TRUE(parse(bad, result) == Set(16) && result == -1) << bad;
        EXPECT_TRUE(log.contains(std::string("Parse cpu mask fail, invalid format:") + bad)) << bad;
    }
    EXPECT_EQ(parse("5-3", result, cpus("63")), cpus("63")) << "bits are only added";
    EXPECT_TRUE(result == -1 && log.contains("Parse cpu mask 5-3 fail, end:3 is less than start:5"));
    for (const auto &m : log.messages())
        EXPECT_TRUE(m.level == 3 && m.file == "cpu/kova_cpu" && m.function == "kova_cpum_parse_cpumask") << m.text;
    EXPECT_EQ(kova_cpum_parse_cpumask(nullptr, Set(16).data()), -1);
    std::thread([] { EXPECT_EQ(kova_setCurThreadBind("4294967297"), -1); }).join();
}

// Random lists of digits, separators, blanks, signs and numbers around the 32-bit limit against the
// reference; then random sets written as lists, which must read back as themselves.
TEST(ParseCpumask, RandomListsAgreeWithAReferenceParserAndRoundTrip)
{
    NoPartitionTable numbers_only;
    kova::test::LogCapture quiet(0);
    std::mt19937 random(20240607);
    const std::string chars = "0123456789,- \n+x";
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int length = random() % 24; length > 0; --length)
            text += random() % 8 ? std::string(1, chars[random() % 16]) : std::to_string(4294967290ull + random() % 12);
        Set expected(16);
        int expected_result = reference_parse(text, expected), result = 0;
        ASSERT_EQ(parse(text, result), expected) << text;
        ASSERT_EQ(result, expected_result) << text;
    }
    for (int round = 0; round < 2000; ++round) {
        Set set(16);
        std::string text;
        for (unsigned cpu = random() % 8; cpu < 1024; cpu += 1 + random() % 200) {
            unsigned last = std::min(1023u, cpu + static_cast<unsigned>(random() % 3 == 0 ? random() % 64 : 0));
            text += (text.empty() ? "" : ",") + std::to_string(cpu) + (last > cpu ? "-" + std::to_string(last) : "");
            for (; cpu <= last; ++cpu) set[cpu / 64] |= 1ull << (cpu % 64);
            --cpu;
        }
        int result = 0;
        ASSERT_EQ(parse(text, result), set) << text;
        ASSERT_EQ(result, text.empty() ? -1 : 0) << text;
    }
}

// A partition table behind the hooks: B's list leads back to A, and the cycle must end.
bool resolve(std::string_view group, std::string_view partition, uint64_t *set, unsigned depth)
{
    const std::pair<std::string_view, const char *> table[] = {{"G/A", "1,G/B"}, {"G/B", "G/A,2"}, {"H/A", "5"}};
    for (auto [name, list] : table)
        if ((group == "*" || name.substr(0, 1) == group) && name.substr(2) == partition)
            kova::cpu::parse_cpu_spec(list, set, depth + 1);
    return true;
}

int loads = 0;

TEST(ParseCpumask, ReferencesResolveThroughThePartitionHooksAndCyclesEnd)
{
    NoPartitionTable restore;
    loads = 0;
    kova::test::LogCapture log;
    int result = 0;
    EXPECT_TRUE(parse("GROUP_0/IOD_NORMAL", result) == Set(16) && result == -1) << "no table: not a CPU list";
    EXPECT_TRUE(log.contains("Parse cpu mask fail, invalid format:GROUP_0/IOD_NORMAL"));
    static const kova::cpu::PartitionHooks hooks{[] { ++loads; }, resolve};
    kova::cpu::set_partition_hooks(&hooks);
    EXPECT_TRUE(parse("H/A,7", result) == cpus("5,7") && result == 0 && loads == 1);
    EXPECT_TRUE(parse("*/A", result) == cpus("1,2,5") && result == 0);
    EXPECT_TRUE(log.contains("Parse cpu mask G/A fail, partitions nest deeper than 8"));
    EXPECT_TRUE(parse("X/none", result) == Set(16) && result == 0) << "a reference is taken even when nothing matches";
}

}  // namespace
