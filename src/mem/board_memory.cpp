#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "init/kova_log.h"
#include "kova/kova_mem.h"
#include "kova/kova_str.h"
#include "platform/bounded.h"
#include "platform/paths.h"

KOVA_LOG_SOURCE("mem/kova_mem")

uint64_t g_TotalMemSize = 0;

namespace {

// The whole of `text`, surrounding white space aside, must be a decimal number.
bool parse_size(std::string_view text, std::uint64_t *size)
{
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *size);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

extern "C" int kova_get_memsize_from_bsp(uint64_t *size)
{
    if (size == nullptr) {
        KOVA_LOG(kova::log::kError, "input null ptr.");
        return -1;
    }
    std::atomic_ref total(g_TotalMemSize);
    if (std::uint64_t known = total.load(); known != 0) {
        *size = known;
        return 0;
    }

    kova::platform::ProductPath board_file("/proc/brdp/bsp");
    if (access(board_file.c_str(), R_OK) != 0) {
        KOVA_LOG(kova::log::kError, "file(%s) is not exist or no right to read, errno(%d).",
                 board_file.c_str(), errno);
        return 1;
    }

    char command[PATH_MAX + 64];
    int ret = kova::sec::sprintf_s(command, sizeof command,
                                   "cat %s | grep 'System have' | awk '{print $3}'",
                                   board_file.c_str());
    if (ret < 0) {
        KOVA_LOG(kova::log::kError, "sprintf_s failed, ret is %d.", ret);
        return -1;
    }
    std::FILE *pipe = kova_popen_s(command, "r", "|$");
    if (pipe == nullptr) {
        KOVA_LOG(kova::log::kError, "Cmd %s failed", command);
        return -1;
    }

    char line[256];
    if (std::fgets(line, sizeof line, pipe) == nullptr) {
        KOVA_LOG(kova::log::kError, "Fgets error, errno(%d)", errno);
        kova_pclose(pipe);
        return -1;
    }
    std::uint64_t found = 0;
    if (!parse_size(line, &found) || found == 0) {
        KOVA_LOG(kova::log::kError, "Get total mem size failed");
        kova_pclose(pipe);
        return -1;
    }
    kova_pclose(pipe);
    total.store(found);
    *size = found;
    return 0;
}
