#include <unistd.h>

#include <atomic>
#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kovalog/kovalog.h"

namespace {

constexpr uint32_t kModule = 77;
constexpr auto npos = std::string::npos;

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class KovalogTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(dir_); }
    void TearDown() override { kovalog_destroy(), std::filesystem::remove_all(dir_); }
    const std::filesystem::path dir_ = std::filesystem::temp_directory_path() / ("kovalog-" + std::to_string(getpid()));
    const std::string log_path_ = (dir_ / "out.log").string();
};

TEST_F(KovalogTest, InitSetsLevelsWritesToTheFileAndSwitchesOnOneDescriptor)
{
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 7), 0);
    ASSERT_EQ(kovalog_loglevel_set(kModule, 3), 0);
    EXPECT_TRUE(kovalog_level_check(kModule, 3) == 0 && kovalog_level_check(kModule, 4) == 1);
    EXPECT_TRUE(kovalog_level_check(kModule + 1, 7) == 0 && kovalog_loglevel_get(1023) == 7);
    for (auto [module, level] : {std::pair{KOVALOG_MODULE_MAX, 3}, {kModule, 8}, {kModule, -1}})
        EXPECT_EQ(kovalog_loglevel_set(module, level), -1) << module << " " << level;
    EXPECT_TRUE(kovalog_loglevel_get(KOVALOG_MODULE_MAX) == -1 && kovalog_loglevel_get(kModule) == 3);
    kovalog(kModule, 3, "fam/src", 42, "do_thing", 0, "value %d and %s", 17, "text");
    kovalog_original("<%d>raw %s", 5, "line");
    EXPECT_EQ(kovalog_init("/nonexistent-dir/x.log", 6) + kovalog_init(log_path_.c_str(), 9), -2);
    kovalog(kModule, 3, "f", 1, "g", 0, "still here");
    auto open_fds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = open_fds();
    const std::string second = (dir_ / "second.log").string();
    ASSERT_EQ(kovalog_init(second.c_str(), 6) + kovalog_init(log_path_.c_str(), 6) + kovalog_flush_signal_safe(), 0);
    EXPECT_EQ(open_fds(), before);
    kovalog(kModule, 6, "f", 1, "g", 0, "back");
    const std::string content = read_file(log_path_);
    for (const char *line : {"[77] E fam/src:42 do_thing: value 17 and text\n", "\n<5>raw line\n", "still here\n", "back\n"})
        EXPECT_NE(content.find(line), npos) << line << " in " << content;
    EXPECT_EQ(read_file(second).find("back"), npos);
}

std::vector<kovalog_message_s> seen;
std::vector<std::string> seen_text;
void remember(const kovalog_message_s *m) { seen.push_back(*m), seen_text.emplace_back(m->text); }

TEST_F(KovalogTest, CallbacksSeeMessagesAndRawLinesCutToTheMessageSize)
{
    seen.clear(), seen_text.clear();
    kovalog_content_callback_s registration{2, &remember}, bad{KOVALOG_CALLBACK_SLOTS, &remember};
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6) + kovalog_register_content_callback(&registration), 0);
    EXPECT_EQ(kovalog_register_content_callback(nullptr) + kovalog_register_content_callback(&bad), -2);
    const std::string huge(3 * KOVALOG_MESSAGE_MAX, 'x'), cut(KOVALOG_MESSAGE_MAX - 1, 'x'), name(2300, 'n');
    kovalog(kModule, 4, "fam/src", 9, "fn", 0, "%s=%u", "count", 3u);
    EXPECT_EQ(kovalog_original("%s", huge.c_str()), static_cast<int>(KOVALOG_MESSAGE_MAX));
    kovalog(kModule, 3, "f", 1, "g", 0, "%s", huge.c_str());
    kovalog(kModule, 3, name.c_str(), 1, name.c_str(), 0, "after long names");
    kovalog(kModule, 3, nullptr, 1, nullptr, 0, nullptr);  // tolerated
    EXPECT_EQ(kovalog_original(nullptr), 1) << "a null format writes an empty line";
    EXPECT_EQ(seen_text, (std::vector<std::string>{"count=3", cut, cut, "after long names", "", ""}));
    EXPECT_TRUE(seen[0].level == 4 && seen[0].flags == 0 && seen[1].flags == KOVALOG_MSG_RAW && seen[1].level == -1);
    EXPECT_NE(read_file(log_path_).find(": after long names\n"), npos);
}

// Chooses its misuse by the message: logs again, empties its own slot or tears logging down.
void misbehaving(const kovalog_message_s *m)
{
    remember(m);
    kovalog_content_callback_s empty{4, nullptr};
    if (seen_text.back() == "log") kovalog(kModule, 3, "f", 1, "g", 0, "logged inside");
    if (seen_text.back() == "unregister") kovalog_register_content_callback(&empty);
    if (seen_text.back() == "destroy") kovalog_destroy();
}

std::atomic<int> inside{0};
template <unsigned Mine, unsigned Other>
void empty_the_other(const kovalog_message_s *m)
{
    if (m->line != static_cast<int>(Mine)) return;
    for (inside.fetch_add(1); inside.load() < 2;) std::this_thread::yield();
    kovalog_content_callback_s empty{Other, nullptr};
    kovalog_register_content_callback(&empty);
}

TEST_F(KovalogTest, CallbacksMayLogUnregisterAndDestroyFromInside)
{
    kovalog_content_callback_s registration{4, &misbehaving};
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6), 0);
    for (std::string what : {"log", "unregister", "destroy"}) {
        seen_text.clear(), kovalog_register_content_callback(&registration);
        kovalog(kModule, 3, "f", 1, "g", 0, "%s", what.c_str());
        kovalog_init(log_path_.c_str(), 6);
        kovalog(kModule, 3, "f", 1, "g", 0, "after");
        EXPECT_EQ(seen_text, what == "log" ? (std::vector<std::string>{what, "after"}) : std::vector{what});
    }
    EXPECT_NE(read_file(log_path_).find("logged inside"), npos) << "written, not shown again";
    // Two threads, each inside a callback, empty each other's slot: neither waits for the other.
    kovalog_content_callback_s first{5, &empty_the_other<5, 6>}, second{6, &empty_the_other<6, 5>};
    inside = 0, kovalog_register_content_callback(&first), kovalog_register_content_callback(&second);
    std::thread a([] { kovalog(kModule, 3, "f", 5, "g", 0, "a"); }), b([] { kovalog(kModule, 3, "f", 6, "g", 0, "b"); });
    a.join(), b.join();
    EXPECT_EQ(inside.load(), 2);
}

int raw_vprint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = kovalog_vraw(format, args);
    va_end(args);
    return n;
}

// Formats made of every flag, width, precision, length and conversion, filled with boundary
// values, then pseudo-random ones (fixed seed): the raw writer prints what snprintf prints.
TEST_F(KovalogTest, RawWriterFormatsAsSnprintf)
{
    kovalog_content_callback_s registration{0, &remember};
    ASSERT_EQ(kovalog_init("/dev/null", 6) + kovalog_register_content_callback(&registration), 0);
    auto expect = [](const std::string &format, auto... args) {
        char want[KOVALOG_MESSAGE_MAX];
        const int full = std::snprintf(want, sizeof want, format.c_str(), args...);
        EXPECT_EQ(raw_vprint(format.c_str(), args...), std::min<int>(full, KOVALOG_MESSAGE_MAX - 1)) << format;
        EXPECT_EQ(seen_text.back(), want) << format;
    };
    const unsigned long long ints[] = {0, 1, ~0ull, 0x7fffffff, 1ull << 31, 1ull << 63, 0xff, 0x8000};
    const long double reals[] = {0.0, -0.0, 5e-324, 2.2250738585072009e-308, DBL_MAX, 0.5, 1.5, 2.5, 0.125,
                                 9.9999, 999999.5, 99.96, 1e23, 0.1, INFINITY, -NAN, LDBL_MAX, LDBL_TRUE_MIN};
    const int widths[] = {0, 3, 25, -7, 100000, -100000}, precisions[] = {-1, 0, 1, 6, 17, 60, 1100, 100000};
    const std::string text(3000, 't'), lengths[] = {"", "h", "hh", "l", "ll", "j", "z", "t"};
    const char *strings[] = {"", "abc", nullptr, text.c_str()};
    std::mt19937_64 random(7);
    for (int i = 0; i < 6000; ++i) {
        const bool boundary = i < 2000;
        std::string format = "%%[%";
        for (char flag : {'-', '+', ' ', '#', '0'}) format += random() % 4 == 0 ? std::string(1, flag) : "";
        int stars[2], count = 0;
        if (random() % 3 == 0) format += std::to_string(random() % 30);
        else if (random() % 2 == 0) format += '*', stars[count++] = widths[random() % std::size(widths)];
        if (random() % 4 == 0) format += "." + std::to_string(random() % 70);
        else if (random() % 3 == 0) format += ".*", stars[count++] = precisions[random() % std::size(precisions)];
        auto check = [&](const std::string &conversion, auto value) {
            const std::string full = format + conversion + "]";
            if (count == 0) expect(full, value);
            if (count == 1) expect(full, stars[0], value);
            if (count == 2) expect(full, stars[0], stars[1], value);
        };
        const std::uint64_t bits = boundary ? ints[random() % std::size(ints)] : random() >> (random() % 64);
        const std::string conversion(1, "diouxXcspfFeEgGaA"[random() % 17]);
        const std::size_t length = random() % std::size(lengths);  // the first three take an int
        const bool integer = std::string("diouxX").find(conversion) != npos;
        if (integer && length < 3) check(lengths[length] + conversion, static_cast<int>(bits));
        else if (integer) check(lengths[length] + conversion, bits);
        else if (conversion == "c") check(conversion, static_cast<int>(bits % 256));
        else if (conversion == "s") check(conversion, strings[bits % std::size(strings)]);
        else if (conversion == "p") check(conversion, reinterpret_cast<void *>(bits * (bits % 2)));
        if (std::string("fFeEgGaA").find(conversion) == npos) continue;
        long double value = boundary ? reals[random() % std::size(reals)] : std::bit_cast<double>(random());
        if (!boundary && random() % 2 == 0) value = (random() % 2000001 - 1e6L) / std::pow(10.0L, random() % 9);
        if (!boundary && random() % 2 == 0)  // the bits of a long double's mantissa, any exponent
            value = std::ldexp(value * (1 + random() * 0x1p-64L), static_cast<int>(random() % 30000) - 15000);
        if (random() % 2 == 0) check(conversion, static_cast<double>(value));
        else check("L" + conversion, value);
    }
    int untouched = 7;
    raw_vprint("%d%n|%*d", 1, &untouched, INT_MIN, 5);  // %n writes nothing; INT_MIN is a width, cut
    EXPECT_TRUE(seen_text.back() == "1|5" + std::string(KOVALOG_MESSAGE_MAX - 4, ' ') && untouched == 7);
}

TEST_F(KovalogTest, RateLimitGroupsDropOverTheBurstAndReportLater)
{
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6), 0);
    const int group = kovalog_get_group_id(kModule);
    EXPECT_EQ(kovalog_get_group_id(KOVALOG_MODULE_MAX) + kovalog_ratelimit_set(-1, 1, 1) + kovalog_ratelimit_set(group, 1, 0), -3);
    ASSERT_EQ(kovalog_ratelimit_set(group, 2, 1000), 0);
    for (int i = 0; i < 5; ++i) kovalog(kModule, 6, "f", 1, "g", 0, "burst %d", i);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the library's own clock: no seam
    kovalog(kModule, 6, "f", 1, "g", 0, "after window");
    const std::string content = read_file(log_path_);
    EXPECT_TRUE(content.find("burst 1") != npos && content.find("burst 2") == npos &&
                content.find("kovalog: 3 messages of group 77 dropped by the rate limit") != npos &&
                content.find("after window") != npos)
        << content;
}

TEST_F(KovalogTest, ConcurrentWritersProduceWholeLines)
{
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6), 0);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 500; ++i) kovalog(kModule, 6, "f", 1, "g", 0, "writer %d line %d end", t, i);
        });
    for (auto &w : writers) w.join();
    const std::string content = read_file(log_path_);
    int whole = 0;
    for (auto at = content.find(" end\n"); at != npos; at = content.find(" end\n", at + 1)) ++whole;
    EXPECT_EQ(whole, 4 * 500) << "a line split by another writer loses its ending";
}

}  // namespace
