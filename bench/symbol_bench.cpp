// The symbol resolver against its baselines, same addresses side by side:
//   symbol_find_by_own over 4096 addresses spread across libc's code  vs  dladdr on them (which
//   answers only from the exported dynamic symbols)  vs  elfutils' dwfl_addrmodule +
//   dwfl_module_addrname (libdw, when it is installed), each reading the object's own table.
// "allocs_per_lookup" counts the calls of malloc, calloc and realloc during the run (a counting
// hook in front of the C library's allocator).
// And a full update pass over a process with a dozen more libraries loaded (every object dropped
// and indexed again, in real time), against libdw reporting the process's modules and loading
// every module's symbol table. "heap_kb" and "mapped_kb" are what the index holds afterwards (its
// nodes, and the symbol and string tables it maps): a pass from an empty index peaks there, plus
// the section headers of the one object it is reading.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "kova/kova_symbol.h"
#include "symbol/symbol_internal.h"

#ifdef KOVA_HAVE_LIBDW
#include <elfutils/libdwfl.h>
#endif

extern "C" void *__libc_malloc(std::size_t);
extern "C" void *__libc_calloc(std::size_t, std::size_t);
extern "C" void *__libc_realloc(void *, std::size_t);

namespace {

std::atomic<std::uint64_t> allocations{0};

}  // namespace

extern "C" void *malloc(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void *calloc(std::size_t count, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *pointer, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

namespace {

constexpr const char *kMoreLibraries[] = {
    "libz.so.1",      "liblzma.so.5",      "libbz2.so.1.0",   "libzstd.so.1",   "libelf.so.1",  "libdw.so.1",
    "libcrypto.so.3", "libssl.so.3",       "libexpat.so.1",   "libffi.so.8",    "libgmp.so.10", "libxml2.so.2",
    "libsqlite3.so.0", "libpcre2-8.so.0",  "libsystemd.so.0", "libgnutls.so.30",
};

const std::vector<std::uint64_t> &addresses()
{
    static const std::vector<std::uint64_t> spread = [] {
        kova_symbol_init_sync();
        void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
        kova_symbol_info_s info;
        kova_symbol_range_s range{};
        symbol_find_by_own(reinterpret_cast<std::uint64_t>(dlsym(libc, "abort")), &info, &range);
        std::vector<std::uint64_t> out;
        std::uint64_t step = (range.vaddr_end - range.vaddr_start) / 4096 | 1;
        for (std::uint64_t a = range.vaddr_start; a < range.vaddr_end && out.size() < 4096; a += step) out.push_back(a);
        return out;
    }();
    return spread;
}

template <typename Lookup>
void run_lookups(benchmark::State &state, Lookup lookup)
{
    const std::vector<std::uint64_t> &all = addresses();
    for (std::uint64_t address : all) benchmark::DoNotOptimize(lookup(address));  // lazy tables load now
    std::uint64_t before = allocations.load();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lookup(all[i]));
        i = (i + 1) % all.size();
    }
    state.counters["allocs_per_lookup"] =
        static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations());
}

void BM_KovaSymbolFind(benchmark::State &state)
{
    run_lookups(state, [](std::uint64_t address) {
        kova_symbol_info_s info;
        return symbol_find_by_own(address, &info, nullptr) + info.name[0];
    });
}

void BM_Dladdr(benchmark::State &state)
{
    run_lookups(state, [](std::uint64_t address) {
        Dl_info info;
        return dladdr(reinterpret_cast<void *>(address), &info);
    });
}

void load_more_libraries(benchmark::State &state)
{
    int loaded = 0;
    for (const char *name : kMoreLibraries) loaded += dlopen(name, RTLD_NOW | RTLD_LOCAL) != nullptr;
    state.counters["libraries_added"] = loaded;
}

void BM_FullUpdatePass(benchmark::State &state)
{
    load_more_libraries(state);
    for (auto _ : state) {
        kova_symbol_fini();
        kova_symbol_update_sync();
    }
    kova::symbol::IndexSize size = kova::symbol::index_size();
    state.counters["objects"] = static_cast<double>(size.objects);
    state.counters["heap_kb"] = static_cast<double>(size.heap_bytes) / 1024;
    state.counters["mapped_kb"] = static_cast<double>(size.mapped_bytes) / 1024;
}

#ifdef KOVA_HAVE_LIBDW
// Symbol tables only, as the resolver reads them: no search for separate debugging files.
int no_debuginfo(Dwfl_Module *, void **, const char *, Dwarf_Addr, const char *, const char *, GElf_Word, char **)
{
    return -1;
}

const Dwfl_Callbacks kProcessCallbacks = {dwfl_linux_proc_find_elf, no_debuginfo, nullptr, nullptr};

Dwfl *report_process()
{
    Dwfl *dwfl = dwfl_begin(&kProcessCallbacks);
    dwfl_linux_proc_report(dwfl, getpid());
    dwfl_report_end(dwfl, nullptr, nullptr);
    return dwfl;
}

void BM_DwflModuleAddrname(benchmark::State &state)
{
    static Dwfl *dwfl = report_process();
    run_lookups(state, [](std::uint64_t address) {
        Dwfl_Module *module = dwfl_addrmodule(dwfl, address);
        return module != nullptr ? dwfl_module_addrname(module, address) : nullptr;
    });
}

int load_symbols(Dwfl_Module *module, void **, const char *, Dwarf_Addr, void *)
{
    benchmark::DoNotOptimize(dwfl_module_getsymtab(module));
    return DWARF_CB_OK;
}

void BM_DwflFullLoad(benchmark::State &state)
{
    load_more_libraries(state);
    for (auto _ : state) {
        Dwfl *dwfl = report_process();
        dwfl_getmodules(dwfl, load_symbols, nullptr, 0);
        dwfl_end(dwfl);
    }
}
#endif

}  // namespace

BENCHMARK(BM_KovaSymbolFind);
BENCHMARK(BM_Dladdr);
#ifdef KOVA_HAVE_LIBDW
BENCHMARK(BM_DwflModuleAddrname);
#endif
BENCHMARK(BM_FullUpdatePass)->UseRealTime()->Unit(benchmark::kMillisecond);
#ifdef KOVA_HAVE_LIBDW
BENCHMARK(BM_DwflFullLoad)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

BENCHMARK_MAIN();
