#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

// The library answers -1 for every failure: name the likely cause from what can be checked.
int failed(const char *what, const char *file)
{
    if (access(file, F_OK) != 0)
        std::fprintf(stderr, "kovactl ini: %s: %s\n", file, std::strerror(errno));
    else
        std::fprintf(stderr, "kovactl ini: %s failed for %s (see the log for the reason)\n", what, file);
    return 1;
}

bool item_exists(const char *file, const char *section, const char *item)
{
    kova_cfg_item_s record;
    return kova_cfg_getItemFromFile(file, section, item, &record) == 0;
}

int run_ini(int argc, char **argv)
{
    if (argc < 2) return usage_error();
    std::string op = argv[0];
    const char *file = argv[1];
    if (op == "dump") return argc == 2 ? (kova_cfg_file_dump(file, printf) == 0 ? 0 : failed("dump", file)) : usage_error();
    if (argc < 3) return usage_error();
    const char *section = argv[2];
    if (op == "delsec") return argc == 3 ? (kova_cfg_file_delSection(file, section) == 0 ? 0 : failed("delsec", file)) : usage_error();
    if (argc < 4) return usage_error();
    const char *item = argv[3];
    if (op == "get" && argc == 4) {
        kova_cfg_item_s record;
        if (kova_cfg_getItemFromFile(file, section, item, &record) != 0) {
            if (access(file, R_OK) != 0) return failed("get", file);
            std::fprintf(stderr, "kovactl ini: [%s] %s not found (or longer than %d characters) in %s\n", section, item,
                         KOVA_CFG_RECORD_VALUE_SIZE - 1, file);
            return 1;
        }
        std::printf("%s\n", record.value);
        return 0;
    }
    if (op == "del" && argc == 4) {
        if (kova_cfg_file_delItem(file, section, item) == 0) return 0;
        if (access(file, F_OK) == 0 && !item_exists(file, section, item)) {
            std::fprintf(stderr, "kovactl ini: [%s] %s not found in %s\n", section, item, file);
            return 1;
        }
        return failed("del", file);
    }
    if (op == "set" && argc == 5) {
        bool exists = item_exists(file, section, item);
        int result = exists ? kova_cfg_file_setItemValue(file, section, item, argv[4])
                            : kova_cfg_file_addItem(file, section, item, argv[4]);
        return result == 0 ? 0 : failed("set", file);
    }
    return usage_error();
}

}  // namespace

KOVACTL_COMMAND("ini", "read and edit INI files: get, set, del, delsec, dump", run_ini,
                "get FILE SECTION ITEM | set FILE SECTION ITEM VALUE | del FILE SECTION ITEM | delsec FILE SECTION | "
                "dump FILE",
                "  get     prints the item's value\n"
                "  set     replaces the item's value, or adds the item (and its section)\n"
                "  del     removes the item\n"
                "  delsec  removes the section and its items\n"
                "  dump    prints every section and item as the library's store holds them\n\n"
                "set, del and delsec change FILE, through the library's safe edit (a temporary file renamed over it).",
                "0 on success, 1 when FILE cannot be read or written or the item is not there, 2 for a usage "
                "error.");

}  // namespace kovactl
