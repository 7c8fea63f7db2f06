#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "kova/kova_crc32.h"
#include "kova/kova_sysinfo.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "sysinfo/cpuinfo_record.h"

namespace {

using kova::sysinfo::CpuInfoRecord;
using kova::test::CommandIntercept;
using kova::test::TempRoot;

constexpr const char *kSockets = "lscpu | grep 'Socket(s)' | awk '{print $NF}' ";

// A machine of four nodes of two CPUs each, two sockets, eight logical CPUs.
struct Machine {
    Machine(const std::string &online = "0-3\n", const std::string &sockets = "2\n")
    {
        kova::sysinfo::forget_cpuinfo_for_test();
        root.write("/sys/devices/system/node/online", online);
        for (int node = 0; node < 4; ++node)
            root.write("/sys/devices/system/node/node" + std::to_string(node) + "/cpulist",
                       std::to_string(2 * node) + "-" + std::to_string(2 * node + 1) + "\n");
        commands.answer("uname -p", 0, "aarch64\n");
        commands.answer(kSockets, 0, sockets);
        commands.answer("cat " + root.path("/proc/cpuinfo") + " | grep 'processor'", 0, "8\n");
    }
    ~Machine() { kova::sysinfo::forget_cpuinfo_for_test(); }
    std::string segment_path() const { return "/dev/shm/" + root.shm_name("cpuinfo_shm"); }
    CpuInfoRecord segment() const
    {
        CpuInfoRecord record{};
        std::ifstream(segment_path(), std::ios::binary).read(reinterpret_cast<char *>(&record), sizeof record);
        return record;
    }
    void write_segment(const void *bytes, std::size_t size) const
    {
        std::ofstream(segment_path(), std::ios::binary).write(static_cast<const char *>(bytes), size);
    }
    bool asked_the_system() const { return std::ranges::count(commands.commands(), std::string(kSockets)) != 0; }
    TempRoot root;
    CommandIntercept commands;
};

CpuInfoRecord record_of(uint32_t physical, uint32_t logical)
{
    CpuInfoRecord record{kova::sysinfo::kCpuInfoMagic, 0, physical, logical, {}};
    for (auto &word : record.reserved) word = kova::sysinfo::kCpuInfoMagic;
    record.checksum = kova_crc32c(&record, sizeof record);
    return record;
}

std::pair<uint32_t, uint32_t> counts()
{
    uint32_t physical = 0, logical = 0;
    EXPECT_TRUE(kova_get_phycpu_num(&physical) == 0 && kova_get_logic_cpu_num(&logical) == 0);
    return {physical, logical};
}

std::string cpus_of(const kova_cpumask_t &mask)
{
    std::string text;
    for (int cpu = kova_first_cpu(&mask); cpu < static_cast<int>(KOVA_MAX_CPUS); cpu = kova_next_cpu(cpu, &mask))
        text += (text.empty() ? "" : ",") + std::to_string(cpu);
    return text;
}

TEST(CpuInfo, FirstProcessPublishesLaterOnesReuse)
{
    kova::test::LogCapture log;
    Machine machine;
    ASSERT_EQ(cpuinfo_init(), 0);
    const unsigned char expected[80] = {'S', 'D', 'F', '3'};
    CpuInfoRecord published = machine.segment();
    EXPECT_EQ(std::memcmp(&published, expected, 4), 0);
    const CpuInfoRecord built = record_of(2, 8);
    EXPECT_EQ(std::memcmp(&published, &built, sizeof published), 0);
    EXPECT_EQ(counts(), std::make_pair(2u, 8u));
    char model[64];
    EXPECT_TRUE(kova_get_cpumodel_info(model) == 0 && std::string(model) == "aarch64");
    kova_cpumask_t mask{};
    EXPECT_TRUE(kova_get_cpumask_by_phycpu(&mask, 1) == 0 && cpus_of(mask) == "4,5,6,7");
    mask.bits[0] = 1;
    EXPECT_EQ(kova_get_cpumask_by_phycpu(&mask, 2), -1);
    EXPECT_TRUE(log.contains("Parameter phycpu 2 is bigger then total phycpu 2.") && mask.bits[0] == 1);
    EXPECT_TRUE(kova_get_phycpu_num(nullptr) == -1 && log.contains("Parameter is null."));

    kova::sysinfo::forget_cpuinfo_for_test();  // a second process
    CommandIntercept second;
    second.answer("uname -p", 0, "aarch64\n");
    ASSERT_EQ(cpuinfo_init(), 0);
    EXPECT_EQ(second.commands(), std::vector<std::string>{"uname -p"}) << "the counts come from the segment";
    EXPECT_EQ(counts(), std::make_pair(2u, 8u));
}

// Segments that fail their check, or are too short to hold the record, are rebuilt; a valid one
// from another process is taken over as it is.
TEST(CpuInfo, InvalidSegmentsAreRebuiltValidOnesReused)
{
    kova::test::LogCapture quiet(0);
    CpuInfoRecord flipped = record_of(2, 8), wrong_magic = record_of(2, 8), zero_counts = record_of(0, 0);
    reinterpret_cast<unsigned char *>(&flipped)[40] ^= 1;
    wrong_magic.magic = 0x33464454;
    wrong_magic.checksum = 0;
    wrong_magic.checksum = kova_crc32c(&wrong_magic, sizeof wrong_magic);
    const CpuInfoRecord other = record_of(3, 6), built = record_of(2, 8), zeros{};
    struct Case {
        const char *what;
        const void *bytes;
        std::size_t size;
        bool rebuilt;
    } cases[] = {{"empty", &zeros, 0, true},          {"short", &other, 10, true},
                 {"zero-filled", &zeros, 80, true},   {"flipped reserved byte", &flipped, 80, true},
                 {"wrong magic", &wrong_magic, 80, true}, {"no CPUs", &zero_counts, 80, true},
                 {"another process's", &other, 80, false}};
    for (const auto &c : cases) {
        Machine machine("0-2\n");
        machine.write_segment(c.bytes, c.size);
        ASSERT_EQ(cpuinfo_init(), 0) << c.what;
        EXPECT_EQ(machine.asked_the_system(), c.rebuilt) << c.what;
        CpuInfoRecord now = machine.segment();
        EXPECT_EQ(std::memcmp(&now, c.rebuilt ? &built : &other, sizeof now), 0) << c.what;
        EXPECT_EQ(counts(), c.rebuilt ? std::make_pair(2u, 8u) : std::make_pair(3u, 6u)) << c.what;
    }
}

// Node counts against socket counts, and hostile inputs, which fail cpuinfo_init.
TEST(CpuInfo, PackagesFollowTheNodesAndBadInputsFail)
{
    kova::test::LogCapture log;
    struct Case {
        std::string online, sockets;
        int result;
        uint32_t physical = 0;
        std::string package0 = "";
    } cases[] = {{"0\n", "2\n", 0, 1, "0,1"},      {"0-1\n", "4\n", 0, 1, "0,1,2,3"}, {"0-3", "2", 0, 2, "0,1,2,3"},
                 {"0,2-3\n", "4\n", 0, 4, "0,1"}, {"0-2\n", "1 socket\n", 0, 1, "0,1,2,3,4,5"},
                 {"", "2\n", -1},                 {"0-4294967295\n", "2\n", -1}, {"3-1\n", "2\n", -1},
                 {"0-1\n", "0\n", -1},            {"0-1\n", "many\n", -1},       {"0-1\n", "", -1}};
    for (const auto &c : cases) {
        Machine machine(c.online, c.sockets);
        ASSERT_EQ(cpuinfo_init(), c.result) << c.online << c.sockets;
        if (c.result != 0) continue;
        kova_cpumask_t mask{};
        EXPECT_TRUE(kova_get_cpumask_by_phycpu(&mask, 0) == 0 && cpus_of(mask) == c.package0) << c.online;
        EXPECT_EQ(counts().first, c.physical) << c.online << c.sockets;
    }
    Machine missing;
    std::filesystem::remove(missing.root.path("/sys/devices/system/node/online"));
    EXPECT_EQ(cpuinfo_init(), -1);
    CommandIntercept refusing;
    refusing.fail_spawn("uname");
    std::filesystem::create_directories(missing.root.path("/sys/devices/system/node"));
    missing.root.write("/sys/devices/system/node/online", "0\n");
    EXPECT_EQ(cpuinfo_init(), -1);
    EXPECT_TRUE(log.contains("Open filename " + missing.root.path("/sys/devices/system/node/online") + " failed."));
    EXPECT_TRUE(log.contains("Cmd uname -p failed.") && log.contains("Get cpumodel failed, ret is -1"));
}

// Two processes publishing at once, each with its own idea of the socket count: both end with
// the one record the segment holds, and it is valid.
TEST(CpuInfo, TwoProcessesRacingAgreeOnOneValidRecord)
{
    kova::test::LogCapture quiet(0);
    for (int round = 0; round < 20; ++round) {
        Machine machine("0-7\n");
        int go[2], results[2];
        ASSERT_TRUE(pipe(go) == 0 && pipe(results) == 0);
        pid_t children[2];
        for (uint32_t child = 0; child < 2; ++child) {
            children[child] = fork();
            if (children[child] == 0) {
                machine.commands.answer(kSockets, 0, std::to_string(child + 1) + "\n");
                char byte;
                uint32_t physical = 0;
                if (read(go[0], &byte, 1) != 1 || cpuinfo_init() != 0 || kova_get_phycpu_num(&physical) != 0) physical = 0;
                _exit(write(results[1], &physical, 4) == 4 ? 0 : 1);
            }
        }
        ASSERT_EQ(write(go[1], "gg", 2), 2);
        uint32_t reported[2] = {};
        for (int child = 0; child < 2; ++child) {
            int status = 0;
            ASSERT_EQ(waitpid(children[child], &status, 0), children[child]);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            ASSERT_EQ(read(results[0], &reported[child], 4), 4);
        }
        for (int fd : {go[0], go[1], results[0], results[1]}) close(fd);
        CpuInfoRecord segment = machine.segment();
        const CpuInfoRecord valid = record_of(segment.physical, 8);
        ASSERT_EQ(std::memcmp(&segment, &valid, sizeof segment), 0) << "valid";
        ASSERT_TRUE(segment.physical == 1 || segment.physical == 2);
        EXPECT_TRUE(reported[0] == segment.physical && reported[1] == segment.physical) << round;
    }
}

// This machine, its files copied under the root and its commands run for real: the logical
// count and the packages' CPUs agree with /sys/devices/system/cpu/online, the package count with
// the sockets lscpu lists.
TEST(CpuInfo, AgreesWithThisMachine)
{
    const std::string nodes = "/sys/devices/system/node";
    if (!std::filesystem::exists(nodes + "/online")) GTEST_SKIP() << "no NUMA nodes in /sys";
    TempRoot root;
    CommandIntercept commands;
    commands.pass_through();
    kova::sysinfo::forget_cpuinfo_for_test();
    auto copy_in = [&root](const std::string &path) {
        std::ostringstream content;
        content << std::ifstream(path).rdbuf();
        root.write(path, content.str());
    };
    copy_in("/proc/cpuinfo");
    copy_in(nodes + "/online");
    for (const auto &entry : std::filesystem::directory_iterator(nodes))
        if (entry.path().filename().string().starts_with("node")) copy_in(entry.path().string() + "/cpulist");
    ASSERT_EQ(cpuinfo_init(), 0);
    kova_cpumask_t online{}, packages{};
    ASSERT_GE(load_cpumask(&online, "/sys/devices/system/cpu/online", 0), 0);
    auto [physical, logical] = counts();
    for (uint32_t package = 0; package < physical; ++package) {
        kova_cpumask_t mask{};
        ASSERT_EQ(kova_get_cpumask_by_phycpu(&mask, package), 0);
        for (int word = 0; word < 8; ++word) packages.bits[word] |= mask.bits[word];
    }
    const std::string online_cpus = cpus_of(online);
    EXPECT_EQ(cpus_of(packages), online_cpus);
    EXPECT_EQ(logical, static_cast<uint32_t>(std::count(online_cpus.begin(), online_cpus.end(), ',') + 1));
    std::FILE *lscpu = popen("lscpu -p=SOCKET | grep -v '^#' | sort -u | wc -l", "r");
    unsigned sockets = 0;
    ASSERT_TRUE(lscpu != nullptr && std::fscanf(lscpu, "%u", &sockets) == 1);
    pclose(lscpu);
    uint32_t node_count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(nodes))
        node_count += entry.path().filename().string().starts_with("node");
    if (node_count >= sockets) {
        EXPECT_EQ(physical, sockets);
    }
}

}  // namespace
