// The INI format as read, the store, the direct file reads and rewrites, and the bay reader.
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_cfg.h"
#include "platform/commands.h"
#include "support/command_guard.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

using namespace kova::test;

inline std::string &dump_text()
{
    static std::string text;
    return text;
}

inline int dump_print(const char *format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    std::string line(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, again);
    va_end(again);
    va_end(args);
    dump_text() += line.c_str();
    return length;
}

// The file as the store holds it, in this family's format; "<error>" when unreadable.
inline std::string parsed(const std::string &path)
{
    dump_text().clear();
    return kova_cfg_file_dump(path.c_str(), dump_print) == 0 ? dump_text() : "<error>";
}

struct Store : ::testing::Test {
    ~Store() override { kova_cfg_destroy(); }
    std::string file(const std::string &name, const std::string &content)
    {
        root.write("/" + name, content);
        return root.path("/" + name);
    }
    TempRoot root;
    LogCapture log;
};

TEST_F(Store, FormatAsRead)
{
    const std::string k63(63, 'k'), k64(64, 'k'), s63(63, 's'), s64(64, 's');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[s]\n  key = value  \n", "[s]\nkey=value\n"},
        {"key=a=b", "[NULL]\nkey=a=b\n"},
        {"x=1\n[s]\ny=2\n[NULL]\nz=3\n[s]\nw=4", "[NULL]\nx=1\nz=3\n[s]\ny=2\nw=4\n"},
        {"[ s1 ]\na=1\n[s 1]\nb=2\n[s-1]\nc=3\n", "[s1]\na=1\nb=2\nc=3\n"},
        {"k-1=2\n#k=2\n;k=2\n=v\n \t=v\n# note\n\n[s]\n", ""},
        {"[s]\n" + k63 + "=1\n" + k64 + "=2\n", "[s]\n" + k63 + "=1\n"},
        {"[" + s63 + "]\na=1\n[" + s64 + "]\nb=2\n", "[" + s63 + "]\na=1\nb=2\n"},
        {"[s]\nk=1\nj=0\nk=2\n", "[s]\nj=0\nk=2\n"},
        {"[s]\r\nk=v\r\nm=a\rb\r\n", "[s]\nk=v\nm=ab\n"},
        {" [s]\nk=v", "[NULL]\nk=v\n"},
        {"[]\nk=v\n[ \t]\nj=w", "[]\nk=v\nj=w\n"},
        {"k=v ; c # d=e\t \r\n", "[NULL]\nk=v ; c # d=e\n"},
        {"[S]\nK=1\n[s]\nk=2", "[S]\nK=1\n[s]\nk=2\n"},
        {"", ""},
        {std::string("[s]\nk=a\0b\nj=c\n", 14), "[s]\nk=a\nj=c\n"},
    };
    for (const auto &[content, expected] : cases) EXPECT_EQ(parsed(file("f.ini", content)), expected) << content;
    EXPECT_TRUE(log.contains("The input string ([s 1]) is not a section string."));
    EXPECT_TRUE(log.contains("The input string (k-1=2) is not a valid config item."));
    EXPECT_EQ(parsed(root.root()), "<error>");  // a directory
    EXPECT_EQ(parsed(root.path("/missing")), "<error>");
}

TEST_F(Store, LineAndValueLimits)
{
    const size_t line_max = KOVA_CFG_LINE_SIZE - 1;
    std::string at_value_limit = "k=" + std::string(KOVA_CFG_VALUE_MAX, 'v');
    EXPECT_EQ(parsed(file("f.ini", at_value_limit + "\nj=1")).size(), at_value_limit.size() + 12);
    EXPECT_EQ(parsed(file("f.ini", at_value_limit + "v\nj=1")), "[NULL]\nj=1\n");
    auto starts = [&](const std::string &prefix, int level) {
        for (const LoggedMessage &m : log.messages())
            if (m.text.rfind(prefix, 0) == 0 && m.level == level) return true;
        return false;
    };
    EXPECT_TRUE(starts("copy item (k=vvv", 3));
    // A full line is skipped whole; one character more splits off a line of its own.
    std::string full(line_max, 'x');
    EXPECT_EQ(parsed(file("f.ini", full + "\nj=1")), "[NULL]\nj=1\n");
    EXPECT_TRUE(starts("The length (4194369) of string (xxx", 7));
    EXPECT_EQ(parsed(file("f.ini", full + "=1\nj=1")), "[NULL]\nj=1\n");
    EXPECT_EQ(parsed(file("f.ini", "  " + std::string(line_max - 2, 'x') + "\nj=1")), "[NULL]\nj=1\n");
}

TEST_F(Store, LookupsSizesCountsAndSetters)
{
    std::string a = file("a.ini", "[s]\nk=old\nonly_a=1\n"), b = file("b.ini", "[s]\nk=new\n");
    ASSERT_EQ(kova_cfg_init(a.c_str()), 0);
    ASSERT_EQ(kova_cfg_init_ex(b.c_str()), 0);
    char buf[8];
    EXPECT_EQ(kova_cfg_getItemValue("s", "k", buf, 4), 0);  // the newest file first
    EXPECT_STREQ(buf, "new");
    EXPECT_EQ(kova_cfg_getItemValue("s", "k", buf, 3), KOVA_CFG_ERR_BUFFER);
    EXPECT_TRUE(log.contains("Invalid Buffer size, inputSize(3), actualSize(4)."));
    EXPECT_EQ(kova_cfg_getItemValue("s", "only_a", buf, sizeof buf), 0);
    EXPECT_EQ(kova_cfg_getItemValue_ex(a.c_str(), "s", "k", buf, 4), 0);
    EXPECT_STREQ(buf, "old");
    EXPECT_EQ(kova_cfg_getItemValue_ex(a.c_str(), "s", "k", buf, 3), KOVA_CFG_ERR_BUFFER);
    EXPECT_EQ(kova_cfg_getItemValue("s", "none", buf, sizeof buf), -1);
    EXPECT_EQ(log.with_text("Get ItemValue by pSection s and pItemName none failed.").at(0).level, 4);
    EXPECT_TRUE(kova_cfg_getItemValue("s", "k", buf, 0) == -1 && kova_cfg_getItemValue(nullptr, "k", buf, 4) == -1);
    EXPECT_EQ(kova_cfg_getItemValue_ex("/nope", "s", "k", buf, 4), -1);
    EXPECT_TRUE(log.contains("Can not find file /nope."));
    EXPECT_EQ(kova_cfg_setItemValue("s", "k", "set"), 0);  // the newest file's item
    EXPECT_TRUE(kova_cfg_getItemValue_ex(b.c_str(), "s", "k", buf, sizeof buf) == 0 && std::string(buf) == "set");
    EXPECT_EQ(kova_cfg_setItemValue("s", "missing", "x"), -1);
    EXPECT_EQ(kova_cfg_getItemValue("s", "missing", buf, sizeof buf), -1);
    EXPECT_EQ(kova_cfg_setItemValue_ex(a.c_str(), "s", "k", "ex"), 0);
    EXPECT_TRUE(kova_cfg_getItemValue_ex(a.c_str(), "s", "k", buf, sizeof buf) == 0 && std::string(buf) == "ex");
    EXPECT_EQ(kova_cfg_setItemValue_ex(a.c_str(), "s", "missing", "x"), -1);
    EXPECT_EQ(kova_cfg_setItemValue_ex("/nope", "s", "k", "x"), -1);
    EXPECT_TRUE(log.contains("Can not find item (missing) in file (" + a + ").") && log.contains("Config file (/nope) is no exist."));
    file("b.ini", "[s]\nk=old\n");
    // Loading twice then destroying once keeps the file; a reload replaces its content.
    ASSERT_EQ(kova_cfg_init(b.c_str()), 0);
    EXPECT_EQ(kova_cfg_destroy_ex(b.c_str()), 0);
    EXPECT_TRUE(kova_cfg_getItemValue_ex(b.c_str(), "s", "k", buf, sizeof buf) == 0 && std::string(buf) == "old");
    EXPECT_EQ(kova_cfg_destroy_ex(b.c_str()), 0);
    EXPECT_EQ(kova_cfg_getItemValue_ex(b.c_str(), "s", "k", buf, sizeof buf), -1);
    EXPECT_EQ(kova_cfg_destroy_ex(nullptr), -1);
    EXPECT_EQ(kova_cfg_init(nullptr), -1);
    for (std::string bad : {root.path("/missing"), root.root(), std::string(256, 'p')}) EXPECT_EQ(kova_cfg_init(bad.c_str()), -1);
    EXPECT_TRUE(log.contains("File name length too long."));
    EXPECT_EQ(kova_cfg_destroy(), 0);
    EXPECT_EQ(kova_cfg_getItemValue("s", "only_a", buf, sizeof buf), -1);
    EXPECT_EQ(kova_cfg_destroy_ex(nullptr), 0);  // nothing loaded
}

TEST_F(Store, ItemFromFileReturnsTheFirstInFileOrder)
{
    std::string path = file("f.ini", "[s]\nk=first\nk=second\nlong=" + std::string(831, 'v') + "\nlonger=" +
                                         std::string(832, 'v') + "\n");
    kova_cfg_item_s record{};
    EXPECT_EQ(kova_cfg_getItemFromFile(path.c_str(), "s", "k", &record), 0);
    EXPECT_EQ(std::string(record.name) + "=" + record.value, "k=first");
    EXPECT_EQ(kova_cfg_getItemFromFile(path.c_str(), "s", "long", &record), 0);
    EXPECT_EQ(std::string(record.value).size(), 831u);
    EXPECT_EQ(kova_cfg_getItemFromFile(path.c_str(), "s", "longer", &record), -1);
    EXPECT_TRUE(log.contains("Copy item (longer=" + std::string(832, 'v') + ") fail."));
    EXPECT_EQ(kova_cfg_getItemFromFile(path.c_str(), "t", "k", &record), -1);
    EXPECT_EQ(kova_cfg_getItemFromFile(root.path("/none").c_str(), "s", "k", &record), -1);
    EXPECT_EQ(kova_cfg_getItemFromFile(path.c_str(), "s", "k", nullptr), -1);
}

TEST_F(Store, RewriteInPlace)
{
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"[s]\nk=1\n[t]\nk=2\n", "s", "[s]\nk=v\n[t]\nk=2\n"},
        {"[s]\na=1\n[t]\nk=2\n", "s", "[s]\na=1\nk=v\n[t]\nk=2\n"},
        {"[t]\nk=2\n", "s", "[t]\nk=2\n[s]\nk=v\n"},
        {"[t]\nk=2\n[s]\na=1", "s", "[t]\nk=2\n[s]\na=1\nk=v\n"},
        {"; c\nx = 1\n\n[s]\nk = 0\n", "s", "[NULL]\nx=1\n[s]\nk=v\n"},
        {"[s]\na=1\n[t]\nb=2\n[s]\nc=3\n", "s", "[s]\na=1\nk=v\n[t]\nb=2\n[s]\nc=3\n"},
        {"", "s", "[s]\nk=v\n"},
    };
    for (const auto &[before, section, after] : cases) {
        std::string path = file("f.ini", before);
        EXPECT_EQ(kova_cfg_write_item_to_file(path.c_str(), section.c_str(), "k", "v"), 0) << before;
        EXPECT_EQ(root.read("/f.ini"), after) << before;
    }
    std::string created = root.path("/new.ini");
    EXPECT_EQ(kova_cfg_write_item_to_file(created.c_str(), "s", "k", "v"), 0);
    struct stat st {};
    ASSERT_EQ(stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(kova_cfg_write_item_to_file(created.c_str(), std::string(64, 's').c_str(), "k", "v"), -1);
    EXPECT_TRUE(kova_cfg_write_item_to_file(root.root().c_str(), "s", "k", "v") == -1 &&
                kova_cfg_write_item_to_file(nullptr, "s", "k", "v") == -1);
    EXPECT_EQ(root.read("/new.ini"), "[s]\nk=v\n");
}

TEST_F(Store, BoundedRandomInputParses)
{
    std::mt19937 random(10);
    const std::string alphabet = "[]=;# \t\r\nab_Z09-\x01\xff";
    for (int round = 0; round < 300; ++round) {
        std::string content(random() % 400, '\0');
        for (char &c : content) c = random() % 8 == 0 ? static_cast<char>(random()) : alphabet[random() % alphabet.size()];
        std::string path = file("r.ini", content);
        std::string text = parsed(path);
        ASSERT_NE(text, "<error>");
        // What the family writes reads back as itself.
        EXPECT_EQ(parsed(file("w.ini", text)), text);
        kova_cfg_item_s record;
        kova_cfg_getItemFromFile(path.c_str(), "ab", "a", &record);
        kova_cfg_write_item_to_file(path.c_str(), "ab", "a", "v");
        EXPECT_EQ(parsed(path).find("a=v\n") != std::string::npos, true);
    }
}

TEST_F(Store, BayConfigThroughTheScript)
{
    struct Case {
        std::string key;
        int exit_code;
        const char *answer;  // null: the script writes no file
        uint32_t size;
        int result;
        std::string value;
    };
    const std::vector<Case> cases = {
        {"slot_count", 0, "12\nignored\n", 16, 0, "12"},
        {"name", 0, "abc", 16, 0, "abc"},
        {"name", 0, "abcdef\n", 4, 0, "abc"},
        {"name", 0, "", 16, -1, ""},
        {"name", 1, "x\n", 16, -1, ""},
        {"name", 0, nullptr, 16, -1, ""},
        {"a;b", 0, "x", 16, -22, ""},
        {"a|b", 0, "x", 16, -22, ""},
        {"", 0, "x", 16, -1, ""},
    };
    const std::string answer = root.path("/tmp/bay_cfg_segment_" + std::to_string(getpid()) + ".conf");
    const std::string script = root.path("/ZPR/script/os_get_bay_config_segment.sh");
    for (const Case &c : cases) {
        std::vector<std::string> commands;
        kova::platform::set_command_interceptor([&](const char *command, kova::platform::CannedCommand &result) {
            commands.emplace_back(command);
            if (commands.size() == 1 && c.answer != nullptr) root.write(answer.substr(root.root().size()), c.answer);
            if (commands.size() == 2) std::remove(answer.c_str());
            result = {commands.size() == 1 ? c.exit_code : 0, "", false};
            return true;
        });
        char buf[16] = "unchanged";
        EXPECT_EQ(kova_get_bay_config_keyvalue(c.key.c_str(), buf, c.size), c.result) << c.key;
        kova::test::install_command_guard();
        EXPECT_EQ(std::string(buf), c.result == 0 ? c.value : std::string(buf));
        bool runs = c.result != -22 && !c.key.empty(), removes = runs && c.exit_code == 0 && c.answer != nullptr;
        ASSERT_EQ(commands.size(), (runs ? 1u : 0u) + (removes ? 1u : 0u)) << c.key;
        EXPECT_EQ(commands.empty() ? "" : commands[0], runs ? script + " " + c.key + " >" + answer + " 2>/dev/null" : "");
        EXPECT_EQ(removes ? commands[1] : "", removes ? "rm -rf " + answer : "");
        std::remove(answer.c_str());
    }
    for (const char *m : {"Can not get the value of name, value is .", "Can not get the file(/ZPR/conf/bay_config.ini).",
                          "Param error: keySegment(a;b) is dangerous.", "Para1 is \\0."})
        EXPECT_TRUE(log.contains(m)) << m;
    EXPECT_EQ(kova_get_bay_config_keyvalue(nullptr, nullptr, 4), -22);
}

}  // namespace
