#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "kova/kova_signal.h"
#include "kova/kova_thrd.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

std::size_t count_of(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(FileDump, EachRequestAppendsATaggedBacktraceToTheThreadsFile)
{
    kova::test::TempRoot root;
    root.write("/var/log/dr/.keep", "");
    kova::test::LogCapture log;
    char process[32] = "";
    ASSERT_EQ(kova_get_process_name(process, sizeof process), 0);

    std::atomic<long> tid{0};
    std::atomic<bool> done{false};
    std::thread target([&] {
        tid = syscall(SYS_gettid);
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (tid == 0) std::this_thread::yield();

    std::string file = "/var/log/dr/block-stack-" + std::string(process) + "-" + std::to_string(tid.load());
    // The handler writes a record in several pieces: wait for the record, then for the file to settle.
    auto wait_for_records = [&](std::size_t records) {
        for (int i = 0; i < 10000 && count_of(root.read(file), "---dump_time:") < records; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::string content = root.read(file);
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::string again = root.read(file);
            if (again == content) break;
            content = again;
        }
        return content;
    };

    dump_thread_stack_sig_roc(getpid(), static_cast<int32_t>(tid));
    std::string first_tag = g_tag_buf;
    std::string once = wait_for_records(1);
    dump_thread_stack_sig_roc(getpid(), static_cast<int32_t>(tid));
    std::string twice = wait_for_records(2);
    done = true;
    target.join();

    EXPECT_EQ(once.rfind("---" + first_tag + "---\n", 0), 0u) << once;
    EXPECT_EQ(count_of(twice, "---dump_time:"), 2u) << twice;
    EXPECT_EQ(twice.compare(0, once.size(), once), 0) << "the second record is appended";
    EXPECT_GT(count_of(once, "\n"), 3u) << "the backtrace follows the tag";
    EXPECT_EQ(first_tag.rfind("dump_time:", 0), 0u);
    EXPECT_EQ(first_tag.back(), '\n');

    auto requests = log.messages();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].module, 999u);
    EXPECT_EQ(requests[0].text, "Show backtrace pid=" + std::to_string(getpid()) + ", tid=" +
                                    std::to_string(tid.load()) + ", " + first_tag);
    EXPECT_EQ(requests[1].text, "Show backtrace pid=" + std::to_string(getpid()) + ", tid=" +
                                    std::to_string(tid.load()) + ", ret=0, errno=0.");
}

}  // namespace
