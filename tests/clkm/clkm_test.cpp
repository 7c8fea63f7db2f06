// Clock modules: dividers, resets, pauses, silencing callbacks, the simulation history.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_clkm.h"
#include "support/print_capture.h"

namespace {

std::vector<std::string> fired;  // "name@time" with "!" for a reset firing
uint32_t silence_from = ~0u;     // callbacks return 1 from this firing on

uint32_t record(uint64_t time, uint32_t reset, uint64_t arg)
{
    fired.push_back(reinterpret_cast<clkm_module_s *>(arg)->name + ("@" + std::to_string(time)) + (reset ? "!" : ""));
    return fired.size() >= silence_from ? 1 : 0;
}

struct Tree : ::testing::Test {
    clkm_module_s root, child, grandchild;
    void SetUp() override
    {
        fired.clear();
        for (auto [m, name] : {std::pair{&root, "r"}, {&child, "c"}, {&grandchild, "g"}})
            ASSERT_EQ(clkm_init(m, record, reinterpret_cast<uint64_t>(m), name), 0);
        ASSERT_EQ(clkm_reg_child_module(&root, &child, 3) + clkm_reg_child_module(&child, &grandchild, 2), 0);
    }
    // The firings of the next `runs` drives of the root, the root's own left out.
    std::vector<std::string> run(int runs)
    {
        fired.clear();
        while (runs-- > 0) clkm_run(&root);
        std::erase_if(fired, [](const std::string &f) { return f[0] == 'r' && f.back() != '!'; });
        return fired;
    }
    using Firings = std::vector<std::string>;
};

TEST_F(Tree, ChildrenDivideResetsRestartAndSilencingCallbacksStop)
{
    EXPECT_EQ(run(12), (Firings{"c@3", "c@6", "g@2", "c@9", "c@12", "g@4"}));
    clkm_reset(&root);
    EXPECT_EQ(run(4), (Firings{"r@13!", "c@0!", "g@0!", "c@3"})) << "counts restart at the reset";
    EXPECT_EQ(root.count + child.count, 3u + 1u);
    clkm_clk_delay_and_reset(&child, 1);  // due at 6, now at 7 as a reset
    EXPECT_EQ(run(4), (Firings{"c@7!", "g@0!"}));
    silence_from = 1;
    EXPECT_EQ(run(12), Firings{}) << "the root's callback returns 1: its children stay silent";
    silence_from = ~0u;
}

TEST_F(Tree, ADisabledModuleKeepsTheTicksItHadLeft)
{
    clkm_run(&root);
    clkm_disable(&child);  // due at root count 3; the pause starts at count 2 with 1 tick left
    EXPECT_EQ(run(5), Firings{});
    clkm_enable(&child);
    EXPECT_EQ(run(3), Firings{"c@8"});
    clkm_disable(&root);
    EXPECT_EQ(run(2).size() + fired.size(), 0u);
}

TEST_F(Tree, SimulationKeepsAHistoryStripAndRefusesBadTrees)
{
    for (uint32_t step = 0; step < 140; ++step) clkm_run_simu(&root, step);
    kova::test::printed_text().clear();
    ASSERT_EQ(clkm_show_simu(&root, 139, kova::test::capture_print), 0);
    std::string child_line = "c               : ";
    for (uint32_t p = 0; p < 128; ++p)  // the child fires at steps 2, 5, 8, ...; 128 to 139 overwrote 0 to 11
        child_line += p == 11 ? '*' : p == 12 ? '-' : (p <= 11 ? p + 128 : p) % 3 == 2 ? '+' : '-';
    std::string text = kova::test::printed_text();
    EXPECT_EQ(text.substr(0, 18), "r               : ");
    EXPECT_EQ(text.substr(text.find('\n') + 1, 18 + 128), child_line);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(clkm_reg_child_module(&grandchild, &root, 1), -1) << "a loop";
    EXPECT_EQ(clkm_reg_child_module(&root, &grandchild, 1), -1) << "already in a tree";
    EXPECT_EQ(clkm_init(&root, nullptr, 0, "x") + clkm_run(nullptr) + clkm_show_simu(&root, 0, nullptr), -3);
    clkm_init(&grandchild, record, 0, std::string(40, 'n').c_str());
    clkm_init(&root, record, 0, nullptr);
    EXPECT_EQ(std::string(grandchild.name) + root.name, std::string(31, 'n') + "NULL");
}

}  // namespace
