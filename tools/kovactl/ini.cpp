#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

int usage()
{
    std::fprintf(stderr, "usage: kovactl ini get|set|del|delsec FILE SECTION [ITEM [VALUE]] | kovactl ini dump FILE\n");
    return 2;
}

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
    if (argc < 2) return usage();
    std::string op = argv[0];
    const char *file = argv[1];
    if (op == "dump") return argc == 2 ? (kova_cfg_file_dump(file, printf) == 0 ? 0 : failed("dump", file)) : usage();
    if (argc < 3) return usage();
    const char *section = argv[2];
    if (op == "delsec") return argc == 3 ? (kova_cfg_file_delSection(file, section) == 0 ? 0 : failed("delsec", file)) : usage();
    if (argc < 4) return usage();
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
    return usage();
}

}  // namespace

KOVACTL_COMMAND("ini", "read and edit INI files: get, set, del, delsec, dump", run_ini);

}  // namespace kovactl
