#include <gtest/gtest.h>

#include "kova/kova_str.h"

namespace {

TEST(StrFilter, MetacharactersAreExactlyTheNine)
{
    const std::string nine = "|;&$<>!\n`";
    for (int c = 1; c < 256; ++c) {
        char text[2] = {static_cast<char>(c), '\0'};
        EXPECT_EQ(isBlackChar(text), nine.find(static_cast<char>(c)) != std::string::npos ? 1 : 0) << c;
    }
    EXPECT_EQ(isBlackChar(""), 0);
    EXPECT_EQ(isBlackChar(nullptr), 0);
}

TEST(StrFilter, WhiteCharNeedsANonEmptyAllowedSet)
{
    EXPECT_EQ(isWhiteChar("|", "|;"), 1);
    EXPECT_EQ(isWhiteChar("&", "|;"), 0);
    EXPECT_EQ(isWhiteChar("|", ""), 0);
    EXPECT_EQ(isWhiteChar("|", nullptr), 0);
    EXPECT_EQ(isWhiteChar(nullptr, "|"), 0);
    // The terminator of the allowed set is not a member of it.
    EXPECT_EQ(isWhiteChar("", "|"), 0);
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
    // Quoting does not hide a metacharacter.
    EXPECT_EQ(isDangerousCmd("echo 'a;b'", nullptr), 1);
    for (char c : std::string("|;&$<>!\n`")) {
        std::string command = std::string("echo a") + c + "b";
        EXPECT_EQ(isDangerousCmd(command.c_str(), nullptr), 1) << command;
        EXPECT_EQ(isDangerousCmd(command.c_str(), std::string(1, c).c_str()), 0) << command;
        // Alone or last in the command, it counts too.
        EXPECT_EQ(isDangerousCmd(std::string(1, c).c_str(), nullptr), 1);
        EXPECT_EQ(isDangerousCmd((std::string("ls") + c).c_str(), "x"), 1);
    }
}

TEST(StrFilter, StopsAtTheTerminator)
{
    const char command[] = "ls\0; rm -rf x";
    EXPECT_EQ(isDangerousCmd(command, nullptr), 0);
}

TEST(StrFilter, ModeIsExactlyOneOfROrW)
{
    EXPECT_EQ(kova_ismodevalid("r"), 0);
    EXPECT_EQ(kova_ismodevalid("w"), 0);
    for (const char *bad : {"rw", "re", "", "a", "r+", "W", " r"}) EXPECT_EQ(kova_ismodevalid(bad), -1) << bad;
    EXPECT_EQ(kova_ismodevalid(nullptr), -1);
}

}  // namespace
