// Safe edits through a temporary file: results, untouched lines, the store's copy, mode and
// owner, and failures that leave the target as it was.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_cfg.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

using namespace kova::test;

const std::string kBase = "[a]\nx=1\ny=2\n[b]\nz=3\n";

TEST(CfgEdit, EditsKeepEveryUntouchedLine)
{
    struct Case {
        std::function<int(const char *)> edit;
        int result;
        std::string after;  // empty: unchanged
    };
    const std::vector<Case> cases = {
        {[](const char *p) { return kova_cfg_file_addItem(p, "c", "k", "v"); }, 0, kBase + "[c]\nk=v\n"},
        {[](const char *p) { return kova_cfg_file_addItem(p, "a", "k", "v w=u"); }, 0, "[a]\nx=1\ny=2\nk=v w=u\n[b]\nz=3\n"},
        {[](const char *p) { return kova_cfg_file_addItem(p, "a", "x", "9"); }, -1, ""},
        {[](const char *p) { return kova_cfg_file_delItem(p, "b", "z"); }, 0, "[a]\nx=1\ny=2\n"},
        {[](const char *p) { return kova_cfg_file_delItem(p, "a", "x"); }, 0, "[a]\ny=2\n[b]\nz=3\n"},
        {[](const char *p) { return kova_cfg_file_delItem(p, "a", "q"); }, -1, ""},
        {[](const char *p) { return kova_cfg_file_delItem(p, "q", "x"); }, -1, ""},
        {[](const char *p) { return kova_cfg_file_delSection(p, "a"); }, 0, "[b]\nz=3\n"},
        {[](const char *p) { return kova_cfg_file_delSection(p, "q"); }, -1, ""},
        {[](const char *p) { return kova_cfg_file_setItemValue(p, "a", "y", ""); }, 0, "[a]\nx=1\ny=\n[b]\nz=3\n"},
        {[](const char *p) { return kova_cfg_file_setItemValue(p, "b", "x", "1"); }, -1, ""},
        {[](const char *p) { return kova_cfg_file_setItemValue(p, nullptr, "x", "1"); }, -1, ""},
        {[](const char *p) { return kova_cfg_file_addItem(p, "a", std::string(64, 'k').c_str(), "1"); }, -1, ""},
    };
    TempRoot root;
    LogCapture log;
    for (const Case &c : cases) {
        root.write("/x/a.ini", kBase);
        root.write("/x/a.ini.temp", "leftover");
        std::string path = root.path("/x/a.ini");
        EXPECT_EQ(c.edit(path.c_str()), c.result) << c.after;
        EXPECT_EQ(root.read("/x/a.ini"), c.after.empty() ? kBase : c.after);
        EXPECT_EQ(root.exists("/x/a.ini.temp"), c.result != 0);  // a refused edit writes nothing
    }
    EXPECT_TRUE(log.contains("add item fail, item(x) is already exist"));
    EXPECT_TRUE(log.contains("Delete section(q) is not exist in file(" + root.path("/x/a.ini") + ")."));
    EXPECT_TRUE(log.contains("param is null."));
    EXPECT_EQ(kova_cfg_file_addItem(root.path("/none").c_str(), "a", "b", "c"), -1);
    EXPECT_EQ(kova_cfg_file_delSection(root.root().c_str(), "a"), -1);
    EXPECT_EQ(log.count("Open file<" + root.root() + "> failed, errno<21>"), 1u);
}

TEST(CfgEdit, CommentsGoModeStaysAndTheStoreSeesTheEdit)
{
    TempRoot root;
    root.write("/a.ini", "; comment\n\n[s]\n k = v \n");
    std::string path = root.path("/a.ini");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(kova_cfg_init(path.c_str()), 0);
    ASSERT_EQ(kova_cfg_init(path.c_str()), 0);
    ASSERT_EQ(kova_cfg_file_setItemValue(path.c_str(), "s", "k", "new"), 0);
    EXPECT_EQ(root.read("/a.ini"), "[s]\nk=new\n");
    struct stat st {};
    EXPECT_TRUE(stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0640u && st.st_uid == geteuid());
    char buf[8];
    EXPECT_TRUE(kova_cfg_getItemValue("s", "k", buf, sizeof buf) == 0 && std::string(buf) == "new");
    EXPECT_EQ(kova_cfg_destroy_ex(path.c_str()), 0);  // the count of two survived the edit
    EXPECT_EQ(kova_cfg_getItemValue_ex(path.c_str(), "s", "k", buf, sizeof buf), 0);
    EXPECT_EQ(kova_cfg_destroy_ex(path.c_str()), 0);
    EXPECT_EQ(kova_cfg_getItemValue_ex(path.c_str(), "s", "k", buf, sizeof buf), -1);
    char out[8];
    EXPECT_TRUE(kova_remove_noneprint_characters("ab\ncd", 5, out, 8) == 0 && std::string(out) == "ab");
    EXPECT_EQ(kova_remove_noneprint_characters("ab\ncd", 5, out, 5), -1);
    EXPECT_TRUE(kova_remove_noneprint_characters("abc", 2, out, 8) == 0 && std::string(out) == "ab");
}

// In a child limited to `limit` bytes per file (SIGXFSZ ignored): the edit's result.
int with_file_size_limit(rlim_t limit, const std::function<int()> &edit)
{
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit r{limit, limit};
        setrlimit(RLIMIT_FSIZE, &r);
        _exit(edit() == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CfgEdit, AFullDiskLeavesTheOldTextAndNoTemporaryFile)
{
    TempRoot root;
    root.write("/a.ini", kBase);
    std::string path = root.path("/a.ini"), big(4096, 'v');
    EXPECT_EQ(with_file_size_limit(1024, [&] { return kova_cfg_file_setItemValue(path.c_str(), "a", "x", big.c_str()); }), 1);
    EXPECT_EQ(with_file_size_limit(1024, [&] { return kova_cfg_file_addItem(path.c_str(), "c", "k", big.c_str()); }), 1);
    EXPECT_EQ(with_file_size_limit(1024, [&] { return kova_cfg_write_item_to_file(path.c_str(), "a", "x", big.c_str()); }), 1);
    EXPECT_EQ(root.read("/a.ini"), kBase);
    EXPECT_FALSE(root.exists("/a.ini.temp"));
    EXPECT_EQ(with_file_size_limit(1 << 20, [&] { return kova_cfg_file_setItemValue(path.c_str(), "a", "x", big.c_str()); }), 0);
    EXPECT_EQ(root.read("/a.ini"), "[a]\nx=" + big + "\ny=2\n[b]\nz=3\n");
}

}  // namespace
