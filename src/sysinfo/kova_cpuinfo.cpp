#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "cpumask/cpu_list.h"
#include "init/kova_log.h"
#include "kova/kova_crc32.h"
#include "kova/kova_shm.h"
#include "kova/kova_str.h"
#include "kova/kova_sysinfo.h"
#include "platform/paths.h"
#include "sysinfo/cpuinfo_record.h"

KOVA_LOG_SOURCE("sysinfo/kova_cpuinfo")

namespace {

using kova::sysinfo::CpuInfoRecord;

constexpr const char *kShmName = "cpuinfo_shm";
constexpr const char *kNodeOnline = "/sys/devices/system/node/online";
constexpr const char *kNodeCpus = "/sys/devices/system/node/node%u/cpulist";
constexpr const char *kModelCommand = "uname -p";
constexpr const char *kSocketsCommand = "lscpu | grep 'Socket(s)' | awk '{print $NF}' ";
constexpr const char *kLogicalCommand = "cat %s | grep 'processor' | awk '{print $NF}' | sort | uniq | wc -l";
constexpr const char *kAllowed = "|$";
constexpr std::size_t kModelSize = 64;
constexpr uint32_t kMaxNodes = 1024;

// Written by cpuinfo_init and save_cpuinfo_to_shm, read by the getters: all under state_lock.
std::mutex state_lock;
CpuInfoRecord local{};
CpuInfoRecord *segment = nullptr;
bool writable = false;
uint32_t node_count = 0;
uint32_t nodes_per_package = 0;
uint32_t packages = 0;  // the published count, adjusted to the node count
char model[kModelSize] = {};

// The file behind the segment: its lock, and the place to see how long it really is.
struct SegmentFile {
    SegmentFile()
    {
        std::snprintf(path, sizeof path, "/dev/shm/%s", kova::platform::ShmName(kShmName).c_str());
    }
    char path[PATH_MAX];
};

bool valid(const CpuInfoRecord &record)
{
    CpuInfoRecord copy = record;
    copy.checksum = 0;
    return kova_crc32c(&copy, sizeof copy) == record.checksum && record.magic == kova::sysinfo::kCpuInfoMagic &&
           record.physical != 0 && record.logical != 0;
}

// A segment shorter than the record is never read: past its end a mapping faults.
bool read_segment(CpuInfoRecord &record)
{
    struct stat status {};
    if (segment == nullptr || stat(SegmentFile().path, &status) != 0 || status.st_size < off_t{sizeof record}) return false;
    std::memcpy(&record, segment, sizeof record);
    return true;
}

uint32_t highest_node(std::string_view line, bool &ok)
{
    uint32_t highest = 0;
    ok = true;
    for (std::size_t comma = 0; ok && comma != std::string_view::npos; line.remove_prefix(comma + 1)) {
        comma = line.find(',');
        auto range = kova::cpumask::read_cpu_range(line.substr(0, comma));
        ok = range && range->first <= range->last && range->last < kMaxNodes;
        if (ok) highest = std::max(highest, range->last);
        if (comma == std::string_view::npos) break;
    }
    return highest;
}

// The highest online node plus one: "0-3" gives 4, "0" gives 1.
bool read_node_count()
{
    kova::platform::ProductPath path(kNodeOnline);
    std::FILE *file = std::fopen(path.c_str(), "r");
    bool ok = false;
    if (file == nullptr) {
        KOVA_LOG_AS("get_numa_num", kova::log::kError, "Open filename %s failed.", path.c_str());
    } else {
        char *line = nullptr;
        std::size_t size = 0;
        if (getdelim(&line, &size, '\n', file) <= 0) {
            KOVA_LOG_AS("get_numa_num", kova::log::kError, "Get filename %s failed.", path.c_str());
        } else {
            uint32_t highest = highest_node(line, ok);
            if (ok) node_count = highest + 1;
            else KOVA_LOG_RATELIMITED(kova::log::kError, kova::log::kError, "secure function sscanf_s failed.");
        }
        std::free(line);
        std::fclose(file);
    }
    if (!ok) KOVA_LOG_AS("get_numa_num", kova::log::kError, "Get numa num failed, ret is %d", -1);
    return ok;
}

// The first line a command prints. False when it cannot start (logged here) or prints nothing.
bool command_line(const char *command, char *line, int size, bool &started)
{
    std::memset(line, 0, static_cast<std::size_t>(size));
    std::FILE *stream = kova_popen_s(command, "r", kAllowed);
    started = stream != nullptr;
    if (!started) {
        KOVA_LOG_AS("kova_popen_s", kova::log::kError, "Cmd %s failed.", command);
        return false;
    }
    bool read = std::fgets(line, size, stream) != nullptr;
    kova_pclose(stream);
    return read;
}

bool read_model()
{
    char line[kModelSize];
    bool started = false;
    if (!command_line(kModelCommand, line, sizeof line, started)) {
        if (started) KOVA_LOG_AS("get_cpumodel_info", kova::log::kError, "Get cpumode failed.");
        KOVA_LOG_AS("get_cpumodel_info", kova::log::kError, "Get cpumodel failed, ret is %d", -1);
        return false;
    }
    line[std::strcspn(line, "\n")] = '\0';
    std::memcpy(model, line, sizeof model);
    return true;
}

// A count printed by a command: one decimal number above 0 (what follows it is ignored).
bool read_count(const char *command, const char *function, const char *parse_failure, uint32_t &count)
{
    char line[kModelSize];
    bool started = false;
    if (!command_line(command, line, sizeof line, started)) {
        if (started) KOVA_LOG_AS(function, kova::log::kError, "Fgets err, errno=%d.", errno);
        return false;
    }
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(line, &end, 10);
    if (end == line || errno != 0 || value <= 0 || value > INT32_MAX) {
        KOVA_LOG_AS(function, kova::log::kError, parse_failure, end == line ? -1 : 1, static_cast<int>(value));
        return false;
    }
    count = static_cast<uint32_t>(value);
    return true;
}

bool counts_from_system()
{
    if (!read_count(kSocketsCommand, "get_phycpu_num", "Get_phycpu_num failed, ret=%d, cpuNum=%d.", local.physical)) {
        KOVA_LOG_AS("get_cpuinfo_from_os", kova::log::kError, "Get phycpu num failed, ret is %d", -1);
        return false;
    }
    char command[PATH_MAX + 96];
    std::snprintf(command, sizeof command, kLogicalCommand, kova::platform::ProductPath("/proc/cpuinfo").c_str());
    if (!read_count(command, "get_logic_cpu_num", "Get logic cpu num failed.", local.logical)) {
        KOVA_LOG_AS("get_cpuinfo_from_os", kova::log::kError, "Get logic cpu num failed, ret is %d", -1);
        return false;
    }
    local.magic = kova::sysinfo::kCpuInfoMagic;
    for (auto &word : local.reserved) word = kova::sysinfo::kCpuInfoMagic;
    local.checksum = 0;
    local.checksum = kova_crc32c(&local, sizeof local);
    return true;
}

void open_segment()
{
    mode_t saved = umask(0);
    segment = static_cast<CpuInfoRecord *>(kova_shm_create_ext(kShmName, O_RDWR | O_CREAT, 0644, sizeof(CpuInfoRecord)));
    writable = segment != nullptr;
    if (segment == nullptr) {
        segment = static_cast<CpuInfoRecord *>(kova_shm_create_ext(kShmName, O_RDONLY, 0644, sizeof(CpuInfoRecord)));
        if (segment == nullptr) KOVA_LOG_AS("create_cpuinfo_shm", kova::log::kError, "Reopen cpuinfo shm failed, errno = %d", errno);
    }
    umask(saved);
}

// Under the exclusive flock: the first valid record wins and is taken over; only an invalid
// segment is overwritten.
void publish()
{
    if (segment == nullptr || !writable) return;
    SegmentFile file;
    int fd = open(file.path, O_RDONLY | O_CREAT, 0644);
    if (fd < 0) {
        KOVA_LOG_AS("cpuinfo_lock", kova::log::kError, "Open cpuinfo flock_fd failed, errno = %d", errno);
        return;
    }
    int locked;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {}
    if (locked != 0) {
        KOVA_LOG_AS("cpuinfo_lock", kova::log::kError, "lock file failed, errno=%d.", errno);
        close(fd);
        return;
    }
    if (CpuInfoRecord seen; read_segment(seen) && valid(seen))
        local = seen;
    else
        std::memcpy(segment, &local, sizeof local);
    if (flock(fd, LOCK_UN) != 0) KOVA_LOG_AS("cpuinfo_unlock", kova::log::kError, "fcntl SETLK failed, errno=%d", errno);
    close(fd);
}

bool load_counts()
{
    if (segment == nullptr) {
        KOVA_LOG_AS("create_cpuinfo_shm", kova::log::kError, "Create cpuinfo shm failed, load by system.");
        return counts_from_system();
    }
    if (CpuInfoRecord seen; read_segment(seen) && valid(seen)) {
        local = seen;
        return true;
    }
    KOVA_LOG_AS("cpuinfo_shm_load", kova::log::kError, "cpu info in shm is incorrect or first, load by system.");
    if (!counts_from_system()) return false;
    publish();
    return true;
}

void fit_packages_to_nodes()
{
    packages = local.physical;
    if (node_count >= packages) {
        nodes_per_package = packages != 0 ? node_count / packages : 0;
    } else {
        nodes_per_package = 2;
        packages = node_count / 2;
    }
    if (node_count == 1) nodes_per_package = packages = 1;
}

bool null_parameter(const void *pointer, const char *function)
{
    if (pointer != nullptr) return false;
    KOVA_LOG_AS(function, kova::log::kError, "Parameter is null.");
    return true;
}

}  // namespace

namespace kova::sysinfo {

void forget_cpuinfo_for_test()
{
    std::lock_guard guard(state_lock);
    if (segment != nullptr) munmap(segment, sizeof *segment);
    segment = nullptr;
    writable = false;
    local = {};
    node_count = nodes_per_package = packages = 0;
    std::memset(model, 0, sizeof model);
}

}  // namespace kova::sysinfo

extern "C" {

int cpuinfo_init(void)
{
    std::lock_guard guard(state_lock);
    if (!read_node_count() || !read_model()) return -1;
    kova_crc32_init();
    if (segment == nullptr) open_segment();
    if (!load_counts()) return -1;
    fit_packages_to_nodes();
    return 0;
}

void save_cpuinfo_to_shm(void)
{
    std::lock_guard guard(state_lock);
    if (local.magic == kova::sysinfo::kCpuInfoMagic) publish();
}

int kova_get_phycpu_num(uint32_t *count)
{
    if (null_parameter(count, __func__)) return -1;
    std::lock_guard guard(state_lock);
    *count = packages;
    return 0;
}

int kova_get_logic_cpu_num(uint32_t *count)
{
    if (null_parameter(count, __func__)) return -1;
    std::lock_guard guard(state_lock);
    *count = local.logical;
    return 0;
}

int kova_get_cpumodel_info(char *buffer)
{
    if (null_parameter(buffer, __func__)) return -1;
    std::lock_guard guard(state_lock);
    std::memcpy(buffer, model, sizeof model);
    return 0;
}

int kova_get_cpumask_by_phycpu(kova_cpumask_t *mask, uint32_t phycpu)
{
    if (null_parameter(mask, __func__)) return -1;
    uint64_t first = 0, count = 0;
    {
        std::lock_guard guard(state_lock);
        if (phycpu >= packages) {
            KOVA_LOG(kova::log::kError, "Parameter phycpu %d is bigger then total phycpu %d.", static_cast<int>(phycpu),
                     static_cast<int>(packages));
            return -1;
        }
        first = uint64_t{phycpu} * nodes_per_package;
        count = nodes_per_package;
    }
    init_cpumask_bit(mask->bits, 8);
    for (uint64_t node = first; node < first + count; ++node) {
        char relative[64];
        std::snprintf(relative, sizeof relative, kNodeCpus, static_cast<unsigned>(node));
        kova::platform::ProductPath path(relative);
        if (load_cpumask(mask, path.c_str(), static_cast<int>(std::strlen(path.c_str()))) < 0) {
            KOVA_LOG(kova::log::kError, "Get %s failed.", path.c_str());
            return -1;
        }
    }
    return 0;
}

}  // extern "C"
