// String utilities: number checks and conversions, character search, line-end stripping and the
// process-wide tokenizer.
#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_strutil.h"
#include "support/log_capture.h"

namespace {

using kova::test::LogCapture;

TEST(StrUtil, UnsignedNumberCheck)
{
    const std::vector<std::pair<const char *, int>> cases = {
        {"123", 0}, {"0x1fA", 0}, {"0", 0}, {"", 0}, {"0x", 0}, {"0XFF", 0}, {"12a", -1},
        {"0x1g", -1}, {"01x", -1}, {"-1", -1}, {" 1", -1}, {"x1", -1}, {nullptr, -EINVAL},
    };
    for (const auto &[text, result] : cases) EXPECT_EQ(kova_str_isuint(text), result) << (text ? text : "null");
}

TEST(StrUtil, ConversionsSaturateAndLogOverflow)
{
    LogCapture log;
    const std::vector<std::pair<const char *, uint64_t>> unsigned_cases = {
        {"0x10", 16}, {"10", 10}, {"0X1f", 31}, {"010", 10}, {" 7", 7}, {"18446744073709551615", UINT64_MAX},
        {"99999999999999999999", UINT64_MAX}, {"0xffffffffffffffff", UINT64_MAX}, {"abc", 0},
    };
    for (const auto &[text, value] : unsigned_cases) EXPECT_EQ(kova_str_tou64(text), value) << text;
    EXPECT_EQ(log.count("Strtou64 fail because of error 34, Numerical result out of range."), 1u);
    EXPECT_TRUE(kova_str_tos64("-5") == -5 && kova_str_tos64("-0x10") == -16);
    EXPECT_EQ(kova_str_tos64("9223372036854775808"), INT64_MIN);  // wraps as the unsigned value does
    EXPECT_EQ(kova_str_tou64(nullptr), 0u);
    EXPECT_EQ(log.with_text("Strtou64 fail because pStr is null.").at(0).level, 3);
    EXPECT_EQ(kova_str_tos64(nullptr), 0);
    EXPECT_EQ(log.with_text("Strtos64 fail because pStr is null.").at(0).level, 6);
}

TEST(StrUtil, CharposFilterAndLower)
{
    uint32_t position = 99;
    EXPECT_TRUE(kova_get_charpos("abc", 'c', &position) == 0 && position == 2u);
    EXPECT_TRUE(kova_get_charpos("abcabc", 'b', &position) == 0 && position == 1u);
    EXPECT_TRUE(kova_get_charpos("abc", 'z', &position) == -1 && kova_get_charpos("", 'a', &position) == -1 &&
                kova_get_charpos("abc", '\0', &position) == -1);
    LogCapture log;
    EXPECT_EQ(kova_get_charpos(nullptr, 'a', &position), -EINVAL);
    EXPECT_EQ(kova_get_charpos("a", 'a', nullptr), -EINVAL);
    EXPECT_EQ(log.count("Parameter is NULL."), 2u);
    for (const auto &[in, out] : std::vector<std::pair<std::string, std::string>>{
             {"ab\r\ncd", "ab"}, {"ab\ncd\r", "ab"}, {"\r", ""}, {"abc", "abc"}}) {
        std::string text = in;
        kova_filter_newlinesymbol(text.data());
        EXPECT_STREQ(text.c_str(), out.c_str());
    }
    kova_filter_newlinesymbol(nullptr);
    EXPECT_EQ(log.count("Parameter is NULL."), 3u);
}

std::vector<std::string> tokens(std::string &text, const char *delimiters)
{
    std::vector<std::string> out;
    for (char *t = kova_str_tok(text.data(), delimiters); t != nullptr; t = kova_str_tok(nullptr, delimiters))
        out.emplace_back(t);
    return out;
}

TEST(StrUtil, TokenizerKeepsOneProcessWidePosition)
{
    const std::vector<std::tuple<std::string, const char *, std::vector<std::string>>> cases = {
        {",,a,,b", ",", {"a", "b"}},
        {"a,", ",", {"a"}},
        {"", ",", {""}},
        {",;,", ",;", {""}},
        {" x  y\tz ", " \t", {"x", "y", "z"}},
        {"abc", "", {"abc"}},
    };
    LogCapture log;
    for (auto [text, delimiters, expected] : cases) EXPECT_EQ(tokens(text, delimiters), expected) << text;
    EXPECT_EQ(log.count("Param((nil) (nil) )  is null."), cases.size());
    std::string first = "a b c";
    EXPECT_STREQ(kova_str_tok(first.data(), " "), "a");
    EXPECT_EQ(kova_str_tok(nullptr, nullptr), nullptr);  // a null delimiter set keeps the position
    EXPECT_TRUE(log.contains("Param((nil))  is null."));
    EXPECT_STREQ(kova_str_tok(nullptr, " "), "b");
    std::string other = "x";
    EXPECT_STREQ(kova_str_tok(other.data(), " "), "x");  // a new string restarts the position
    EXPECT_EQ(kova_str_tok(nullptr, " "), nullptr);
    char *saved_into = nullptr, buffer[] = "s";
    EXPECT_TRUE(check_parameter(&saved_into, buffer, ",") == buffer && saved_into == buffer);
}

TEST(StrUtil, TokenizerBoundedRandomInput)
{
    std::mt19937 random(8);
    for (int round = 0; round < 2000; ++round) {
        std::string text(random() % 40, '\0');
        for (char &c : text) c = static_cast<char>(random() % 6 == 0 ? ',' : 1 + random() % 255);
        std::string reference = text;
        std::vector<std::string> expected;
        size_t start = 0;
        while ((start = reference.find_first_not_of(',', start)) != std::string::npos) {
            size_t end = reference.find(',', start);
            expected.push_back(reference.substr(start, end - start));
            start = end;
        }
        if (expected.empty()) expected.emplace_back("");
        EXPECT_EQ(tokens(text, ","), expected);
    }
}

}  // namespace
