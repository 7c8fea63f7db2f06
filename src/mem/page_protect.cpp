#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_mem.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("mem/kova_mem")

namespace {

// Callers count in 4 KiB pages whatever the system's page size is.
constexpr std::size_t kCallerPage = 4096;

// One line of /proc/self/maps: where a mapping lies and what backs it. A file is known by its
// device and inode; anonymous memory by its name ([heap], [stack], [anon:...]), which is short.
struct Mapping {
    unsigned long start = 0, end = 0, offset = 0, inode = 0;
    unsigned major = 0, minor = 0;
    char name[128] = "";
};

bool read_mapping(std::FILE *maps, Mapping &m)
{
    char line[256];
    if (std::fgets(line, sizeof line, maps) == nullptr) return false;
    if (std::strchr(line, '\n') == nullptr) {
        for (int c; (c = std::fgetc(maps)) != EOF && c != '\n';) {}  // the rest of a long file path
    }
    char perms[5];
    int name_at = 0;
    if (kova::sec::sscanf_s(line, "%lx-%lx %4s %lx %x:%x %lu %n", &m.start, &m.end, perms, &m.offset, &m.major,
                            &m.minor, &m.inode, &name_at) < 7)
        return false;
    std::snprintf(m.name, sizeof m.name, "%.*s", static_cast<int>(std::strcspn(line + name_at, "\n")), line + name_at);
    return true;
}

// Whether `next` carries on the object that `previous` maps: the same file at the following
// offset, or anonymous memory of the same name. A range that runs from the caller's mapping into
// another object's would change the protection of memory the caller does not own (the logging
// library's data, say, after which the failure report itself faults).
bool continues(const Mapping &previous, const Mapping &next)
{
    if (next.start != previous.end || next.major != previous.major || next.minor != previous.minor ||
        next.inode != previous.inode)
        return false;
    if (next.inode != 0) return next.offset == previous.offset + (previous.end - previous.start);
    return std::strcmp(next.name, previous.name) == 0;
}

// True when [begin, begin + length) lies in one object's mapping without a gap. mprotect itself
// is no guard: it changes the mappings in front of a gap before it fails with ENOMEM.
bool range_is_one_mapping(unsigned long begin, std::size_t length)
{
    unsigned long end = begin + length;
    if (end < begin) return false;
    std::FILE *maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) return true;  // nothing to check against: mprotect decides
    Mapping previous, current;
    bool inside = false, covered = false;
    while (!covered && read_mapping(maps, current)) {
        if (!inside) {
            if (current.end <= begin) continue;
            if (current.start > begin) break;
            inside = true;
        } else if (!continues(previous, current)) {
            break;
        }
        covered = current.end >= end;
        previous = current;
    }
    std::fclose(maps);
    return covered;
}

int set_protection(const char *function, void *addr, int pages, int prot)
{
    if (addr == nullptr || pages <= 0) {
        KOVA_LOG_AS(function, kova::log::kError,
                    "Param is invalied,addr is NULL(%p), numpages is 0.", addr);
        return -1;
    }
    int ret = kova_get_current_page_size();
    if (ret != 0) {
        int err = errno;
        KOVA_LOG_AS(function, kova::log::kError,
                    "Get current system page size failed, ret(%d), errno(%d):%s.", ret, err,
                    std::strerror(err));
        return -1;
    }
    std::uint64_t system_page = std::atomic_ref(g_CurSysPageSize).load();
    std::size_t length = static_cast<std::size_t>(pages) * kCallerPage;
    auto page_addr = reinterpret_cast<unsigned long>(addr);
    // mprotect works on whole system pages: a range that covers part of one would change
    // the protection of memory the caller did not name.
    if (system_page != kCallerPage && (length % system_page != 0 || page_addr % system_page != 0)) {
        KOVA_LOG_AS(function, kova::log::kError,
                    "Param is invalied, page_addr(0x%lx), numpages(%d), g_CurSysPageSize(%d).",
                    page_addr, pages, static_cast<int>(system_page));
        return -1;
    }
    int err = range_is_one_mapping(page_addr, length) ? 0 : ENOMEM;
    if (err == 0 && mprotect(addr, length, prot) != 0) err = errno;
    if (err != 0) {
        KOVA_LOG_AS(function, kova::log::kError,
                    "set page protect read failed, page_addr(0x%lx), errno(%d):%s.", page_addr,
                    err, std::strerror(err));
        return err;
    }
    return 0;
}

}  // namespace

extern "C" int kova_setmemory_ro(void *addr, int pages)
{
    return set_protection(__func__, addr, pages, PROT_READ);
}

extern "C" int kova_setmemory_rw(void *addr, int pages)
{
    return set_protection(__func__, addr, pages, PROT_WRITE);
}
