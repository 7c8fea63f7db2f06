#include <gtest/gtest.h>

#include "kova/kova_str.h"

namespace {

TEST(StrFilter, MetacharactersAreExactlyTheNineAndOnlyANonEmptySetAllowsThem)
{
    const std::string nine = "|;&$<>!\n`";
    for (int c = 1; c < 256; ++c) {
        char text[2] = {static_cast<char>(c), '\0'};
        EXPECT_EQ(isBlackChar(text), nine.find(static_cast<char>(c)) != std::string::npos ? 1 : 0) << c;
    }
    EXPECT_EQ(isBlackChar("") + isBlackChar(nullptr), 0);
    EXPECT_EQ(isWhiteChar("|", "|;"), 1);
    EXPECT_EQ(isWhiteChar("&", "|;"), 0);
    EXPECT_EQ(isWhiteChar("|", ""), 0);
    EXPECT_EQ(isWhiteChar("|", nullptr), 0);
    EXPECT_EQ(isWhiteChar(nullptr, "|"), 0);
    EXPECT_EQ(isWhiteChar("", "|"), 0) << "the terminator of the allowed set is not a member of it";
}

TEST(StrFilter, DangerousCommands)
{
    EXPECT_EQ(isDangerousCmd("ls -l /tmp", nullptr), 0);
    EXPECT_EQ(isDangerousCmd("ls; rm x", nullptr), 1);
    EXPECT_EQ(isDangerousCmd("a|b", "|"), 0);
    EXPECT_EQ(isDangerousCmd("a|b;c", "|"), 1);
    EXPECT_EQ(isDangerousCmd("a|b;c", "|;"), 0);
    EXPECT_EQ(isDangerousCmd("", nullptr), 0);
    EXPECT_EQ(isDangerousCmd(nullptr, nullptr), 0);
    EXPECT_EQ(isDangerousCmd("ls\0; rm -rf x", nullptr), 0) << "stops at the terminator";
    EXPECT_EQ(isDangerousCmd("echo 'a;b'", nullptr), 1) << "quoting does not hide a metacharacter";
    for (char c : std::string("|;&$<>!\n`")) {
        std::string command = std::string("echo a") + c + "b";
        EXPECT_EQ(isDangerousCmd(command.c_str(), nullptr), 1) << command;
        EXPECT_EQ(isDangerousCmd(command.c_str(), std::string(1, c).c_str()), 0) << command;
        // Alone or last in the command, it counts too.
        EXPECT_EQ(isDangerousCmd(std::string(1, c).c_str(), nullptr), 1);
        EXPECT_EQ(isDangerousCmd((std::string("ls") + c).c_str(), "x"), 1);
    }
}

TEST(StrFilter, ModeIsExactlyOneOfROrW)
{
    EXPECT_EQ(kova_ismodevalid("r") + kova_ismodevalid("w"), 0);
    for (const char *bad : {"rw", "re", "", "a", "r+", "W", " r", static_cast<const char *>(nullptr)})
        EXPECT_EQ(kova_ismodevalid(bad), -1) << (bad ? bad : "null");
}

}  // namespace
