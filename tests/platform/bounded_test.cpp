#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/bounded.h"

namespace {

using namespace kova::sec;

// Every call works on an 8-byte destination holding "abcdefg", fenced by guard bytes: the result,
// the text left in the destination, and the fences untouched.
TEST(Bounded, CopiesFillsAndFormatsFitOrFailWithoutWritingPastTheEnd)
{
    struct Case { std::function<int(char *)> call; int result; std::string left; } cases[] = {
        {[](char *d) { return memcpy_s(d, 8, "ABCDEFGH", 8); }, kOk, "ABCDEFGH"},
        {[](char *d) { return memcpy_s(d, 8, "ABCDEFGHI", 9); }, kRangeAndReset, ""},
        {[](char *d) { return memcpy_s(d, 8, nullptr, 1); }, kInvalidAndReset, ""},
        {[](char *d) { return memcpy_s(d, 0, "A", 1); }, kInvalid, "abcdefg"},
        {[](char *d) { return memcpy_s(d, 8, d + 2, 4); }, kOverlapAndReset, ""},
        {[](char *d) { return memmove_s(d + 1, 7, d, 6); }, kOk, "aabcdef"},  // overlap is what memmove is for
        {[](char *d) { return memmove_s(d, 8, d, 9); }, kRangeAndReset, ""},
        {[](char *d) { return memset_s(d, 4, 'x', 2); }, kOk, "xxcdefg"},
        {[](char *d) { return memset_s(d, 4, 'x', 10); }, kRangeAndReset, "xxxxefg"},  // up to the limit only
        {[](char *d) { return strcpy_s(d, 8, "1234567"); }, kOk, "1234567"},
        {[](char *d) { return strcpy_s(d, 8, "12345678"); }, kRangeAndReset, ""},  // no room for the NUL
        {[](char *d) { return strncpy_s(d, 8, "hello world", 3); }, kOk, "hel"},
        {[](char *d) { return strncpy_s(d, 8, "hello world", 8); }, kRangeAndReset, ""},
        {[](char *d) { return strncpy_s(d, 8, nullptr, 1); }, kInvalidAndReset, ""},
        {[](char *d) { return strcpy_s(d, 8, "ab") + strcat_s(d, 8, "cde"); }, kOk, "abcde"},
        {[](char *d) { return strcat_s(d, 8, "h"); }, kRangeAndReset, ""},
        {[](char *d) { return std::memset(d, 'x', 8), strcat_s(d, 8, "a"); }, kInvalidAndReset, ""},  // unterminated
        {[](char *d) { return sprintf_s(d, 8, "%d-%s", 42, "ab"); }, 5, "42-ab"},
        {[](char *d) { return sprintf_s(d, 8, "%s", "12345678"); }, -1, ""},  // overflowing output is not kept
        {[](char *d) { return sprintf_s(d, 8, "%s", ""); }, 0, ""},
        {[](char *d) { return snprintf_s(d, 8, 3, "%s", "abcdef"); }, -1, "abc"},  // truncation to count is kept
        {[](char *d) { return snprintf_s(d, 8, 7, "%s", "1234567"); }, 7, "1234567"},
        {[](char *d) { return snprintf_s(d, 8, 100, "%s", "12345678"); }, -1, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        char area[16];
        std::memset(area, 'G', sizeof area);
        std::memcpy(area + 4, "abcdefg", 8);
        EXPECT_EQ(cases[i].call(area + 4), cases[i].result) << i;
        EXPECT_EQ(std::string(area + 4, strnlen(area + 4, 8)), cases[i].left) << i;
        EXPECT_EQ(std::string(area, 4) + std::string(area + 12, 4), "GGGGGGGG") << i;
    }
    EXPECT_EQ(memcpy_s(nullptr, 8, "a", 1) + memset_s(nullptr, 4, 0, 1), 2 * kInvalid);
    EXPECT_EQ(snprintf_s(nullptr, 8, 1, "x"), -1);
}

TEST(Bounded, ScanStringConversionsMustCarryAWidth)
{
    char word[10] = "", unit[5] = "";
    unsigned long value = 0;
    EXPECT_EQ(sscanf_s("MemTotal: 1024 kB", "%9s %lu %4s", word, &value, unit), 3);
    EXPECT_EQ(std::string(word) + "/" + std::to_string(value) + "/" + unit, "MemTotal:/1024/kB");
    EXPECT_EQ(sscanf_s("MemTotal: 1024 kB", "%4s", word), 1);
    EXPECT_STREQ(word, "MemT") << "the width bounds the copy";
    EXPECT_EQ(sscanf_s("abc", "%3[a-z]", word), 1);
    EXPECT_EQ(sscanf_s("skip 5", "%*s %lu", &value) + sscanf_s("50%", "%lu%%", &value), 2) << "%*s needs no bound";
    for (const char *unbounded : {"%s", "%c", "%[a-z]"}) EXPECT_EQ(sscanf_s("abc", unbounded, word), -1) << unbounded;
    EXPECT_EQ(sscanf_s(nullptr, "%lu", &value), -1);
    EXPECT_FALSE(scan_format_is_bounded("%ms") || scan_format_is_bounded("%5[abc") || scan_format_is_bounded(nullptr));
    EXPECT_TRUE(scan_format_is_bounded("%4[]x]"));
}

}  // namespace
