#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/command_intercept.h"

// The compiler takes pclose for glibc's, which frees the stream; linked with --wrap it is
// kova_pclose, which leaves a stream it did not open alone.
#pragma GCC diagnostic ignored "-Wuse-after-free"
#pragma GCC diagnostic ignored "-Wmismatched-dealloc"

namespace {

std::string read_all(FILE *stream)
{
    std::string text;
    for (int c; (c = std::fgetc(stream)) != EOF;) text += static_cast<char>(c);
    return text;
}

TEST(StrWrap, PopenAndSystemGoThroughTheCommandSeam)
{
    kova::test::CommandIntercept intercept;
    intercept.answer("probe-popen", 3, "canned\n");
    intercept.answer("probe-system", 5);

    FILE *stream = popen("probe-popen", "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(read_all(stream), "canned\n");
    int status = pclose(stream);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);

    status = system("probe-system now");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_EQ(intercept.commands(), (std::vector<std::string>{"probe-popen", "probe-system now"}));
}

TEST(StrWrap, PopenTakesOnlyTheLibrarysModes)
{
    // The C library's popen accepts "re"; the library's runner does not.
    kova::test::CommandIntercept intercept;
    EXPECT_EQ(popen("true", "re"), nullptr);
    EXPECT_TRUE(intercept.commands().empty());
}

TEST(StrWrap, PcloseRefusesAStreamPopenDidNotOpen)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *foreign = fdopen(fds[1], "w");
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(pclose(foreign), -1);
    EXPECT_GT(std::fputs("alive\n", foreign), 0);
    std::fclose(foreign);
    FILE *reader = fdopen(fds[0], "r");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(read_all(reader), "alive\n");
    std::fclose(reader);
}

}  // namespace
