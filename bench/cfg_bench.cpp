// INI loading and lookups against inih parsing into a std::unordered_map, and a one-item edit
// against writing the whole file with fwrite + fsync + rename.
#include <ini.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unordered_map>

#include <benchmark/benchmark.h>

#include "kova/kova_cfg.h"

namespace {

std::string make_file(int items)
{
    static std::string dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kova-cfg-bench-XXXXXX").string();
        return std::string(mkdtemp(pattern.data()));
    }();
    std::string path = dir + "/items" + std::to_string(items) + ".ini";
    std::ofstream out(path);
    for (int i = 0; i < items; ++i) {
        if (i % 100 == 0) out << "[section" << i / 100 << "]\n";
        out << "key" << i << " = value number " << i << "\n";
    }
    return path;
}

using Map = std::unordered_map<std::string, std::string>;

int inih_handler(void *user, const char *section, const char *name, const char *value)
{
    (*static_cast<Map *>(user))[std::string(section) + '\0' + name] = value;
    return 1;
}

void BM_LoadKova(benchmark::State &state)
{
    std::string path = make_file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (kova_cfg_init(path.c_str()) != 0) state.SkipWithError("load failed");
        kova_cfg_destroy();
    }
}

void BM_LoadInih(benchmark::State &state)
{
    std::string path = make_file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        Map map;
        if (ini_parse(path.c_str(), inih_handler, &map) != 0) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(map.size());
    }
}

void BM_LookupKova(benchmark::State &state)
{
    int items = static_cast<int>(state.range(0));
    std::string path = make_file(items);
    kova_cfg_init(path.c_str());
    char buf[64];
    int i = 0;
    for (auto _ : state) {
        std::string section = "section" + std::to_string(i / 100), key = "key" + std::to_string(i);
        if (kova_cfg_getItemValue(section.c_str(), key.c_str(), buf, sizeof buf) != 0) state.SkipWithError("lookup failed");
        i = (i + 7) % items;
    }
    kova_cfg_destroy();
}

void BM_LookupInih(benchmark::State &state)
{
    int items = static_cast<int>(state.range(0));
    Map map;
    ini_parse(make_file(items).c_str(), inih_handler, &map);
    char buf[64];
    int i = 0;
    for (auto _ : state) {
        std::string section = "section" + std::to_string(i / 100), key = "key" + std::to_string(i);
        auto found = map.find(section + '\0' + key);
        if (found == map.end()) state.SkipWithError("lookup failed");
        else std::snprintf(buf, sizeof buf, "%s", found->second.c_str());
        i = (i + 7) % items;
    }
}

void BM_EditKova(benchmark::State &state)
{
    std::string path = make_file(1000);
    unsigned n = 0;
    for (auto _ : state)
        if (kova_cfg_file_setItemValue(path.c_str(), "section5", "key500", (n++ % 2) != 0 ? "a" : "b") != 0)
            state.SkipWithError("edit failed");
}

void BM_EditWholeFileFwrite(benchmark::State &state)
{
    std::string path = make_file(1000), temp = path + ".tmp";
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (auto _ : state) {
        std::FILE *out = std::fopen(temp.c_str(), "w");
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
        fsync(fileno(out));
        std::fclose(out);
        std::rename(temp.c_str(), path.c_str());
    }
}

}  // namespace

BENCHMARK(BM_LoadKova)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadInih)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupKova)->Arg(1000)->Arg(100000);
BENCHMARK(BM_LookupInih)->Arg(1000)->Arg(100000);
BENCHMARK(BM_EditKova)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_EditWholeFileFwrite)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
