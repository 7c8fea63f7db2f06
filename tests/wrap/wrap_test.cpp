#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/command_intercept.h"
#include "support/stream_drain.h"

// The compiler takes pclose for glibc's, which frees the stream; linked with --wrap it is
// kova_pclose, which leaves a stream it did not open alone.
#pragma GCC diagnostic ignored "-Wuse-after-free"
#pragma GCC diagnostic ignored "-Wmismatched-dealloc"

namespace {

using namespace kova::test;

TEST(StrWrap, PopenAndSystemGoThroughTheCommandSeam)
{
    CommandIntercept intercept;
    intercept.answer("probe-popen", 3, "canned\n");
    intercept.answer("probe-system", 5);
    EXPECT_EQ(drain(popen("probe-popen", "r"), pclose), Ran("canned\n", W_EXITCODE(3, 0)));
    EXPECT_EQ(system("probe-system now"), W_EXITCODE(5, 0));
    EXPECT_EQ(intercept.commands(), (std::vector<std::string>{"probe-popen", "probe-system now"}));
}

TEST(StrWrap, PopenTakesOnlyTheLibrarysModes)
{
    CommandIntercept intercept;
    EXPECT_EQ(popen("true", "re"), nullptr) << "the C library's popen accepts \"re\"";
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
    EXPECT_EQ(drain(fdopen(fds[0], "r"), std::fclose), Ran("alive\n", 0));
}

}  // namespace
