#include <thread>

#include "lwp/lwp_test.h"
#include "support/print_capture.h"

namespace kova::test {
namespace {

std::size_t occurrences(const std::string &text, const std::string &part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string switch_line(std::uint64_t n, std::uint64_t from, std::uint64_t to)
{
    return text("<%ld> LwpCtxSwitch:%lu instId old:0x%lx new:0x%lx", kova_thread_get_knl_tid(), n, from, to);
}

TEST_F(LwpTest, TheSwitchLogKeepsTheLastThreeSwitchesOfAThreadWithARecord)
{
    std::uint64_t a = make("a"), b = make("b"), c = make("c");
    LwpCfgSetCtxTraceState(1);
    std::thread([&] {
        ASSERT_EQ(kova_thrd_setcurthreadinfo(), 0);
        LogCapture log;
        for (std::uint64_t id : {a, b, c, LWP_INST_ID_INVALID, std::uint64_t{0}}) LwpCtxAttach(id, nullptr);
        printed_text().clear();
        LwpCtxSwitchShow(capture_print);
        const std::string &shown = printed_text();
        EXPECT_EQ(occurrences(shown, "LwpCtxSwitch:") + occurrences(shown, "> ... stack:6 <<0x"), 6u) << shown;
        EXPECT_EQ(occurrences(shown, switch_line(1, a, b) + "<") + occurrences(shown, switch_line(3, c, ~0ul) + "<"), 2u);
        EXPECT_NE(m_current_thread->switch_log[1].return_address[0], 0u);
        EXPECT_EQ(LwpExceptNotifyFn(nullptr, 0, nullptr), 1u);
        EXPECT_EQ(log.count(switch_line(2, b, c)), 1u);
        kova_thrd_clearcurthreadinfo();
    }).join();
    std::thread([] {
        printed_text().clear();
        LwpCtxSwitchShow(capture_print);
        EXPECT_EQ(printed_text(), text("<%ld> Lwp this is not a thread create by tiro or kova", kova_thread_get_knl_tid()));
        LwpCfgSetCtxTraceState(0);
        LwpCtxSwitchShow(capture_print);
        EXPECT_EQ(occurrences(printed_text(), "Lwp"), 1u);
    }).join();
}

TEST_F(LwpTest, CallSiteStatisticsCountPerSiteAndShareTheLastEntryWhenFull)
{
    std::uint64_t *get_site = nullptr, *put_site = nullptr;  // what LWP_INST_*_COUNTED keep per call site
    for (int i = 0; i < 2; ++i) {
        LwpAutoStatGetInst(&get_site);
        ++*get_site;
        LwpAutoStatPutInst(&put_site);
        ++*put_site;
    }
    printed_text().clear();
    LwpShowAutoStatAll(capture_print, "!");
    EXPECT_EQ(occurrences(printed_text(), "Lwp autostat id: 0 cnt:     2 rip:0x"), 2u) << printed_text();
    EXPECT_EQ(occurrences(printed_text(), "size:1024 used:1!"), 2u);
    static std::uint64_t *sites[LWP_AUTOSTAT_ENTRIES + 10];
    for (auto &site : sites) LwpAutoStatGetInst(&(site = nullptr));
    EXPECT_NE(sites[LWP_AUTOSTAT_ENTRIES - 3], sites[LWP_AUTOSTAT_ENTRIES - 2]);
    EXPECT_EQ(sites[LWP_AUTOSTAT_ENTRIES - 2], sites[LWP_AUTOSTAT_ENTRIES + 9]);
    LwpShowAutoStatAll(capture_print, nullptr);
    EXPECT_EQ(occurrences(printed_text(), "Lwp show auto statistic info of LWP_GET_INST, size:1024 used:1024"), 1u);
}

}  // namespace
}  // namespace kova::test
