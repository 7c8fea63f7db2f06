// Feeds arbitrary bytes to the INI parser through every reader: the store, the direct read, the
// in-place rewrite and an edit.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kova/kova_cfg.h"
#include "kovalog/kovalog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const std::string path = [] {
        kovalog_loglevel_set(KOVA_MODULE_ID, 0);
        char name[] = "/tmp/kova-ini-fuzz-XXXXXX";
        close(mkstemp(name));
        return std::string(name);
    }();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    kova_cfg_init(path.c_str());
    char buf[64];
    kova_cfg_getItemValue("s", "k", buf, sizeof buf);
    kova_cfg_destroy();
    kova_cfg_item_s record;
    kova_cfg_getItemFromFile(path.c_str(), "NULL", "k", &record);
    kova_cfg_file_addItem(path.c_str(), "s", "k", "v");
    kova_cfg_write_item_to_file(path.c_str(), "s", "k", "w");
    return 0;
}
