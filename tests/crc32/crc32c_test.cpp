#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crc32/hw.h"
#include "kova/kova_crc32.h"
#include "support/log_capture.h"

namespace {

std::vector<unsigned char> random_bytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<unsigned char> v(n);
    for (auto &b : v) b = static_cast<unsigned char>(gen());
    return v;
}

using Kernel = uint32_t (*)(void *, uint64_t, uint32_t, const void *);

// The exported kernels (the copying ones with a destination).
struct NamedKernel {
    const char *name;
    Kernel kernel;
};
const NamedKernel kKernels[] = {
    {"AsmCrc32c", AsmCrc32c}, {"Asm3Crc32c", Asm3Crc32c}, {"AsmCrc32cWithCpy", AsmCrc32cWithCpy}, {"Asm3Crc32cWithCpy", Asm3Crc32cWithCpy}};

TEST(Crc32c, CheckValuesOfTheStandards)
{
    std::vector<unsigned char> zeros(32, 0), ones(32, 0xFF), up(32), down(32);
    for (int i = 0; i < 32; ++i) up[i] = static_cast<unsigned char>(i), down[i] = static_cast<unsigned char>(31 - i);
    const struct {
        std::vector<unsigned char> data;
        uint32_t crc;
    } cases[] = {{{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0xE3069283u},
                 {{'a', 'b', 'c'}, 0x364B3FB7u},
                 {zeros, 0x8A9136AAu},
                 {ones, 0x62A8AB43u},
                 {up, 0x46DD794Eu},
                 {down, 0x113FDB5Cu}};
    for (const auto &c : cases) {
        auto n = static_cast<uint32_t>(c.data.size());
        EXPECT_EQ(kova_crc32c(c.data.data(), n), c.crc);
        EXPECT_EQ(kova_crc32c_soft(c.data.data(), n), c.crc);
        EXPECT_EQ(kova_crc32cEnd(kova_crc32cStart(c.data.data(), n)), c.crc);
        for (const auto &k : kKernels) {
            std::vector<unsigned char> copy(n);
            EXPECT_EQ(~k.kernel(copy.data(), n, 0xFFFFFFFFu, c.data.data()), c.crc) << k.name;
        }
    }
}

TEST(Crc32c, NullBufferAndZeroLength)
{
    const char data[] = "x";
    for (auto fn : {kova_crc32cContinue, kova_crc32cContinueSoft, kova_crc32cContinueHard, kova_3crc32cContinueHard}) {
        EXPECT_EQ(fn(0x1234u, nullptr, 10), 0x1234u);
        EXPECT_EQ(fn(0x1234u, data, 0), 0x1234u);
    }
    EXPECT_EQ(kova_crc32c(nullptr, 5) | kova_crc32c(data, 0) | kova_crc32c_soft(nullptr, 5) | kova_crc32c_soft(data, 0), 0u);
    EXPECT_EQ(kova_crc16(0xBEEF, nullptr, 5), 0xBEEF);
    EXPECT_EQ(kova_crc16_soft(0xBEEF, data, 0), 0xBEEF);
}

}  // namespace

namespace kova::crc {
void PrintTo(const Crc32cKernel &k, std::ostream *os) { *os << k.name; }
void PrintTo(const Crc16Kernel &k, std::ostream *os) { *os << k.name; }
}  // namespace kova::crc

namespace {

bool runs_here(bool (*runs_on)(const kova::crc::Cpu &)) { return runs_on(kova::crc::cpu()); }

// Every kernel built for this processor, each on its own; one this machine cannot run is skipped.
class EachCrc32cKernel : public testing::TestWithParam<kova::crc::Crc32cKernel> {};
class EachCrc16Kernel : public testing::TestWithParam<kova::crc::Crc16Kernel> {};
INSTANTIATE_TEST_SUITE_P(Kernels, EachCrc32cKernel, testing::ValuesIn(kova::crc::crc32c_kernels().begin(), kova::crc::crc32c_kernels().end()),
                         [](const auto &info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Kernels, EachCrc16Kernel, testing::ValuesIn(kova::crc::crc16_kernels().begin(), kova::crc::crc16_kernels().end()),
                         [](const auto &info) { return std::string(info.param.name); });

// Every length up to past one 4080-byte block, at every alignment: the kernel equals the table
// and its copying form copies exactly. Covers each block size and constant of every kernel.
TEST_P(EachCrc32cKernel, EqualsTheTableAtEveryLengthAndOffset)
{
    const auto &k = GetParam();
    if (!runs_here(k.runs_on)) GTEST_SKIP() << k.name << " needs instructions this processor (or system) lacks";
    const auto data = random_bytes(4200 + 16, 1);
    std::vector<unsigned char> dst(data.size() + 16);
    for (uint64_t offset = 0; offset < 16; ++offset) {
        for (uint64_t n = 0; n <= 4200; ++n) {
            const unsigned char *src = data.data() + offset;
            const uint32_t seed = static_cast<uint32_t>(n * 2654435761u);
            const uint32_t expected = kova_crc32cContinueSoft(seed, src, static_cast<uint32_t>(n));
            ASSERT_EQ(k.update(nullptr, n, seed, src), expected) << "n=" << n << " offset=" << offset;
            unsigned char *out = dst.data() + (offset ^ 5);
            std::memset(dst.data(), 0xA5, dst.size());
            ASSERT_EQ(k.copy(out, n, seed, src), expected) << "n=" << n << " offset=" << offset;
            ASSERT_EQ(std::memcmp(out, src, n), 0) << "n=" << n;
            ASSERT_EQ(out[n], 0xA5) << "wrote past the end, n=" << n;
            ASSERT_TRUE(out == dst.data() || out[-1] == 0xA5) << "wrote before the start";
        }
    }
}

TEST_P(EachCrc16Kernel, EqualsTheTableAtEveryLengthAndOffset)
{
    const auto &k = GetParam();
    if (!runs_here(k.runs_on)) GTEST_SKIP() << k.name << " needs instructions this processor (or system) lacks";
    const auto data = random_bytes(4200 + 16, 6);
    for (uint64_t offset = 0; offset < 16; ++offset) {
        for (uint64_t n = 0; n <= 4200; ++n) {
            const auto seed = static_cast<uint16_t>(n * 40503u);
            ASSERT_EQ(k.update(seed, data.data() + offset, n), kova_crc16_soft(seed, data.data() + offset, n)) << "n=" << n << " offset=" << offset;
        }
    }
}

// Each kernel reads (and the copying ones write) exactly `n` bytes: a buffer ending at an
// inaccessible page would fault on one byte too many.
TEST(Crc32c, EveryKernelStopsAtTheGuardPage)
{
    const long page = sysconf(_SC_PAGESIZE);
    auto *map = static_cast<unsigned char *>(mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(map + page, page, PROT_NONE) | mprotect(map + 3 * page, page, PROT_NONE), 0);
    const auto data = random_bytes(static_cast<std::size_t>(page), 4);
    for (uint64_t n : {1ul, 7ul, 15ul, 63ul, 65ul, 255ul, 257ul, 1007ul, 1009ul, 4079ul, static_cast<uint64_t>(page)}) {
        unsigned char *src = map + page - n, *dst = map + 3 * page - n;
        std::memcpy(src, data.data(), n);
        const uint32_t expected = kova_crc32cContinueSoft(1, src, static_cast<uint32_t>(n));
        for (const auto &k : kova::crc::crc32c_kernels()) {
            if (!runs_here(k.runs_on)) continue;
            ASSERT_EQ(k.update(nullptr, n, 1, src), expected) << k.name;
            ASSERT_EQ(k.copy(dst, n, 1, src), expected) << k.name;
            ASSERT_EQ(std::memcmp(dst, src, n), 0) << k.name;
        }
        for (const auto &k16 : kova::crc::crc16_kernels()) {
            if (!runs_here(k16.runs_on)) continue;
            ASSERT_EQ(k16.update(3, src, n), kova_crc16_soft(3, src, n)) << k16.name;
        }
    }
    munmap(map, 4 * page);
}

TEST(Crc32c, LongBuffersAndPiecesEqualTheWhole)
{
    const auto data = random_bytes(1 << 20, 2);
    const auto n = static_cast<uint32_t>(data.size());
    const uint32_t whole = kova_crc32c_soft(data.data(), n);
    EXPECT_EQ(kova_crc32c(data.data(), n), whole);
    EXPECT_EQ(~kova_3crc32cContinueHard(0xFFFFFFFFu, data.data(), n), whole);
    EXPECT_EQ(kova_crc16(7, data.data(), n), kova_crc16_soft(7, data.data(), n));
    // Many 4096-byte blocks of the split kernels, each starting from the crc the last one left.
    const uint32_t odd = kova_crc32cContinueSoft(9, data.data() + 5, n - 77);
    for (const auto &k : kova::crc::crc32c_kernels()) {
        if (!runs_here(k.runs_on)) continue;
        EXPECT_EQ(k.update(nullptr, n - 77, 9, data.data() + 5), odd) << k.name;
    }
    std::mt19937 gen(3);
    for (int round = 0; round < 20; ++round) {
        uint32_t crc = kova_crc32cStart(nullptr, 0);
        uint16_t crc16 = 0;
        for (uint32_t at = 0; at < n;) {
            uint32_t piece = std::min<uint32_t>(n - at, gen() % 9000);
            crc = kova_crc32cContinue(crc, data.data() + at, piece);
            crc16 = kova_crc16(crc16, data.data() + at, piece);
            at += piece;
        }
        ASSERT_EQ(kova_crc32cEnd(crc), whole);
        ASSERT_EQ(crc16, kova_crc16_soft(0, data.data(), n));
    }
}

TEST(Crc16, CheckValuesAndTheFixedSizePath)
{
    EXPECT_EQ(kova_crc16(0, "123456789", 9), 0xD0DB);
    EXPECT_EQ(kova_crc16_soft(0, "123456789", 9), 0xD0DB);
    EXPECT_EQ(kova_crc16(0, "abc", 3), 0x443B);
    EXPECT_EQ(crc16_t10dif(0, reinterpret_cast<const unsigned char *>("123456789"), 9), 0xD0DB);
    for (unsigned seed = 0; seed < 64; ++seed) {
        auto sector = random_bytes(512 + 16, seed);
        const unsigned char *at = sector.data() + seed % 16;
        ASSERT_EQ(kova_crc16(static_cast<uint16_t>(seed * 977), at, 512), kova_crc16_soft(static_cast<uint16_t>(seed * 977), at, 512));
    }
}

// The kernel follows the processor: without the instructions every slot is the table, and the
// answers do not change.
TEST(Crc32c, KernelChoiceFollowsTheProcessor)
{
    constexpr uint32_t neoverse_n1 = 0x414FD0C1u, cortex_a72 = 0x410FD083u;
    const struct {
        kova::crc::Cpu cpu;
        const char *crc32c;
        const char *crc16;
    } cases[] = {
        {{false, false, neoverse_n1}, "table", "table"},
        {{true, false, neoverse_n1}, "AsmCrc32c", "table"},
        {{true, true, neoverse_n1}, "Asm3Crc32c", "crc16_t10dif"},
#if defined(__aarch64__)
        {{true, true, cortex_a72}, "AsmCrc32c", "crc16_t10dif"},
#else
        {{true, true, cortex_a72}, "Asm3Crc32c", "crc16_t10dif"},
        {{true, true, 0, true, false}, "Crc32cFoldYmm", "crc16_t10dif_ymm"},
        {{true, true, 0, true, true}, "Crc32cFoldZmm", "crc16_t10dif_zmm"},
#endif
    };
    const kova::crc::Cpu real = kova::crc::cpu();
    const auto data = random_bytes(5000, 5);
    std::vector<unsigned char> copy(data.size());
    for (const auto &c : cases) {
        if ((c.cpu.crc32c && !real.crc32c) || (c.cpu.clmul && !real.clmul) || (c.cpu.clmul256 && !real.clmul256) ||
            (c.cpu.clmul512 && !real.clmul512))
            continue;  // cannot run here
        kova::test::LogCapture log;
        kova::crc::set_cpu_for_test(&c.cpu);
        kova_crc32_init();
        EXPECT_STREQ(kova_crc32c_kernel_name(), c.crc32c);
        EXPECT_STREQ(kova_crc16_kernel_name(), c.crc16);
        EXPECT_EQ(log.count("platform support 3crc optimize, use 3crc algorithm."), std::strcmp(c.crc32c, "Asm3Crc32c") == 0 ? 1u : 0u);
        EXPECT_EQ(kova_crc32cContinue_with_cpy(0, copy.data(), 5000, data.data()), kova_crc32cContinueSoft(0, data.data(), 5000));
        EXPECT_EQ(copy, data);
        EXPECT_EQ(kova_crc32c(data.data(), 5000), kova_crc32c_soft(data.data(), 5000));
        EXPECT_EQ(kova_crc16(0, data.data(), 5000), kova_crc16_soft(0, data.data(), 5000));
    }
    kova::crc::set_cpu_for_test(nullptr);
    kova_crc32_init();
}

// Under qemu-aarch64 the processor model comes from QEMU_CPU (see docs/crc32.md); the
// identification register must select the kernel documented for it.
TEST(Crc32c, QemuModelSelectsItsKernel)
{
    const char *model = std::getenv("QEMU_CPU");
    const std::string m = model == nullptr ? "" : model;
    const char *expected = m == "neoverse-n1" ? "Asm3Crc32c" : (m == "cortex-a72" || m == "max") ? "AsmCrc32c" : nullptr;
    if (expected == nullptr) GTEST_SKIP() << "no QEMU_CPU model with a documented kernel";
    kova_crc32_init();
    EXPECT_STREQ(kova_crc32c_kernel_name(), expected);
    EXPECT_STREQ(kova_crc16_kernel_name(), "crc16_t10dif");
}

}  // namespace
