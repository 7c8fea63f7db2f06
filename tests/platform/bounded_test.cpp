#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/bounded.h"

namespace {

using namespace kova::sec;

TEST(BoundedCopy, FitsOrFailsWithoutWritingPastTheEnd)
{
    char guard_before = 'G', dest[8], guard_after = 'G';
    EXPECT_EQ(memcpy_s(dest, sizeof dest, "abcdefgh", 8), kOk);
    EXPECT_EQ(std::memcmp(dest, "abcdefgh", 8), 0);
    EXPECT_EQ(memcpy_s(dest, sizeof dest, "abcdefghi", 9), kRangeAndReset);
    EXPECT_EQ(std::string(dest, 8), std::string(8, '\0')) << "cleared on overflow";
    EXPECT_EQ(memcpy_s(dest, sizeof dest, nullptr, 1), kInvalidAndReset);
    EXPECT_EQ(memcpy_s(nullptr, 8, "a", 1), kInvalid);
    EXPECT_EQ(memcpy_s(dest, 0, "a", 1), kInvalid);
    EXPECT_EQ(memcpy_s(dest, sizeof dest, dest + 2, 4), kOverlapAndReset);
    EXPECT_EQ(guard_before, 'G');
    EXPECT_EQ(guard_after, 'G');

    char text[8] = "abcdef";
    EXPECT_EQ(memmove_s(text + 1, sizeof text - 1, text, 6), kOk) << "overlap is what memmove is for";
    EXPECT_STREQ(text, "aabcdef");
    EXPECT_EQ(memmove_s(text, sizeof text, text, 9), kRangeAndReset);
}

TEST(BoundedCopy, FillStopsAtTheDestinationSize)
{
    char dest[6] = "zzzzz";
    EXPECT_EQ(memset_s(dest, 4, 'a', 2), kOk);
    EXPECT_STREQ(dest, "aazzz");
    EXPECT_EQ(memset_s(dest, 4, 'b', 10), kRangeAndReset);
    EXPECT_EQ(std::string(dest, 5), "bbbbz") << "filled up to the limit only";
    EXPECT_EQ(memset_s(nullptr, 4, 0, 1), kInvalid);
}

TEST(BoundedStrings, CopyConcatenateAndTruncate)
{
    char dest[6];
    EXPECT_EQ(strcpy_s(dest, sizeof dest, "hello"), kOk);
    EXPECT_STREQ(dest, "hello");
    EXPECT_EQ(strcpy_s(dest, sizeof dest, "hello!"), kRangeAndReset) << "no room for the NUL";
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(strncpy_s(dest, sizeof dest, "hello world", 3), kOk);
    EXPECT_STREQ(dest, "hel");
    EXPECT_EQ(strncpy_s(dest, sizeof dest, "hello world", 6), kRangeAndReset);
    EXPECT_EQ(strncpy_s(dest, sizeof dest, nullptr, 1), kInvalidAndReset);

    EXPECT_EQ(strcpy_s(dest, sizeof dest, "ab"), kOk);
    EXPECT_EQ(strcat_s(dest, sizeof dest, "cde"), kOk);
    EXPECT_STREQ(dest, "abcde");
    EXPECT_EQ(strcat_s(dest, sizeof dest, "f"), kRangeAndReset);
    EXPECT_STREQ(dest, "");
    char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(strcat_s(unterminated, sizeof unterminated, "a"), kInvalidAndReset);
}

TEST(BoundedStrings, TokenizerKeepsItsPlaceInTheContext)
{
    char text[] = ",,alpha, beta,,gamma,";
    char *context = nullptr;
    std::string seen;
    for (char *t = strtok_s(text, ", ", &context); t != nullptr; t = strtok_s(nullptr, ", ", &context))
        seen += std::string(t) + "|";
    EXPECT_EQ(seen, "alpha|beta|gamma|");
    EXPECT_EQ(strtok_s(nullptr, ",", &context), nullptr) << "exhausted stays exhausted";
    EXPECT_EQ(strtok_s(text, nullptr, &context), nullptr);
}

TEST(BoundedFormat, ResultsAndTruncation)
{
    char dest[8];
    EXPECT_EQ(sprintf_s(dest, sizeof dest, "%d-%s", 42, "ab"), 5);
    EXPECT_STREQ(dest, "42-ab");
    EXPECT_EQ(sprintf_s(dest, sizeof dest, "%s", "12345678"), -1);
    EXPECT_STREQ(dest, "") << "overflowing output is not kept";
    EXPECT_EQ(snprintf_s(dest, sizeof dest, 3, "%s", "abcdef"), -1);
    EXPECT_STREQ(dest, "abc") << "truncation to count keeps the text";
    EXPECT_EQ(snprintf_s(dest, sizeof dest, 7, "%s", "abcdefg"), 7) << "exactly count characters fit";
    EXPECT_STREQ(dest, "abcdefg");
    EXPECT_EQ(snprintf_s(dest, sizeof dest, 100, "%s", "abcdefgh"), -1);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(snprintf_s(nullptr, 8, 1, "x"), -1);
    EXPECT_EQ(sprintf_s(dest, sizeof dest, "%s", ""), 0);
}

TEST(BoundedScan, StringConversionsMustCarryAWidth)
{
    char word[10] = "", unit[5] = "";
    unsigned long value = 0;
    EXPECT_EQ(sscanf_s("MemTotal: 1024 kB", "%9s %lu %4s", word, &value, unit), 3);
    EXPECT_STREQ(word, "MemTotal:");
    EXPECT_EQ(value, 1024u);
    EXPECT_STREQ(unit, "kB");
    EXPECT_EQ(sscanf_s("MemTotal: 1024 kB", "%4s", word), 1);
    EXPECT_STREQ(word, "MemT") << "the width bounds the copy";
    EXPECT_EQ(sscanf_s("abc", "%s", word), -1) << "an unbounded %s is refused";
    EXPECT_EQ(sscanf_s("abc", "%c", word), -1);
    EXPECT_EQ(sscanf_s("abc", "%[a-z]", word), -1);
    EXPECT_EQ(sscanf_s("abc", "%3[a-z]", word), 1);
    EXPECT_STREQ(word, "abc");
    EXPECT_EQ(sscanf_s("skip 5", "%*s %lu", &value), 1) << "a suppressed conversion needs no bound";
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(sscanf_s("50%", "%lu%%", &value), 1);
    EXPECT_EQ(sscanf_s(nullptr, "%lu", &value), -1);
    EXPECT_FALSE(scan_format_is_bounded("%ms"));
    EXPECT_FALSE(scan_format_is_bounded("%5[abc"));
    EXPECT_FALSE(scan_format_is_bounded(nullptr));
    EXPECT_TRUE(scan_format_is_bounded("%4[]x]"));
}

}  // namespace
