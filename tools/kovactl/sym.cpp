#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

// Resolves an address of this process, or the address a symbol name has in it, through the
// library's own resolver.
int run_sym(int argc, char **argv)
{
    if (argc != 1) return usage_error();
    char *end = nullptr;
    std::uint64_t address = std::strtoull(argv[0], &end, 16);
    if (end == argv[0] || *end != '\0') {
        void *found = dlsym(RTLD_DEFAULT, argv[0]);
        if (found == nullptr) {
            std::fprintf(stderr, "kovactl sym: %s is neither an address nor a symbol of this process\n", argv[0]);
            return 1;
        }
        address = reinterpret_cast<std::uint64_t>(found);
    }
    kova_symbol_init_sync();
    kova_symbol_info_s info;
    if (kova_symbol_find(address, &info) != 0) {
        std::printf("Can't find symbol of addr 0x%llx.\n", static_cast<unsigned long long>(address));
        return 1;
    }
    std::printf("%16s: 0x%llx\n%16s: %s+0x%llx (size %u, %s)\n%16s: %s\n", "Vaddr",
                static_cast<unsigned long long>(address), "Symbol", info.name,
                static_cast<unsigned long long>(address - info.start), info.size, info.type == 1 ? "object" : "function",
                "File", info.file);
    return 0;
}

}  // namespace

KOVACTL_COMMAND("sym", "resolve an address or symbol of this process through the symbol resolver", run_sym,
                "ADDRESS|SYMBOL",
                "  ADDRESS  a hexadecimal address in kovactl's own process\n"
                "  SYMBOL   a symbol name, looked up with dlsym first\n\n"
                "Prints the symbol containing the address, the offset into it, its size and kind, and its file.",
                "0 when the address resolves, 1 when it does not or the name is no symbol, 2 for a usage error.");

}  // namespace kovactl
