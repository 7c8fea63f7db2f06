// UTC to local time with a zone and DST rule: the library's stored-settings conversion against
// the C library's localtime_r with TZ set to the same POSIX rule. Both convert the same instants.
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "kova/kova_timezone.h"

namespace {

const std::vector<std::uint64_t> &instants()
{
    static const std::vector<std::uint64_t> all = [] {
        std::mt19937_64 random(5);
        std::vector<std::uint64_t> v(4096);
        for (auto &t : v) t = 86400 + random() % 4102444800u;  // 1970 to 2100
        return v;
    }();
    return all;
}

void set_rule()
{
    for (const char *setting : {"UTCOffHours=8", "UTCOffMins=0", "UTCOffDir=+", "DstFlag=1", "DstMinOffSet=60",
                                "DstBeginTime=03-10 02:00:00", "DstEndTime=11-03 02:00:00"}) {
        if (kova_time_setutcoffsetH(setting) && kova_time_setutcoffsetM(setting) && kova_time_setutcoffsetD(setting) &&
            kova_time_setdstflag(setting) && kova_time_setdstoffsetM(setting) && kova_time_setdstbegintime(setting) &&
            kova_time_setdstendtime(setting))
            std::abort();
    }
    setenv("TZ", "XST-8XDT-9,J69/2,J307/2", 1);
    tzset();
}

void BM_KovaGetdstFromutc(benchmark::State &state)
{
    set_rule();
    const auto &v = instants();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kova_time_getdst_fromutc(v[i]));
        i = (i + 1) % v.size();
    }
}
BENCHMARK(BM_KovaGetdstFromutc);

void BM_LocaltimeR(benchmark::State &state)
{
    set_rule();
    const auto &v = instants();
    std::size_t i = 0;
    struct tm tm {};
    for (auto _ : state) {
        auto t = static_cast<time_t>(v[i]);
        localtime_r(&t, &tm);
        benchmark::DoNotOptimize(t + tm.tm_gmtoff);
        i = (i + 1) % v.size();
    }
}
BENCHMARK(BM_LocaltimeR);

}  // namespace

BENCHMARK_MAIN();
