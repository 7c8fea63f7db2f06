#include "kova/kova_virtual.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_cfg.h"
#include "kova/kova_str.h"
#include "virtual/platform_record.h"

KOVA_LOG_SOURCE("virtual/kova_virtual")

namespace kova::virt {
namespace {

constexpr std::size_t kNameSize = 128;
constexpr const char kOpenStackProduct[] = "OpenStack Nova";
constexpr std::uint32_t kUnknownCache = 0xFFFFFFFFu;

struct PlatformRecord {
    char virtualisation[kNameSize];
    char product[kNameSize];
};

PlatformRecord record;
std::atomic<bool> record_done{false};
std::mutex record_lock;
std::atomic<std::uint32_t> machine_type_cache{kUnknownCache};

bool is_openstack_product() { return std::strcmp(record.product, kOpenStackProduct) == 0; }

}  // namespace

void reset_for_test()
{
    std::lock_guard guard(record_lock);
    record_done.store(false);
    machine_type_cache.store(kUnknownCache);
    record = {};
}

}  // namespace kova::virt

using namespace kova::virt;

extern "C" int kova_exec_systemd_detect_virt_inner(const char *command, char *output, uint32_t size)
{
    if (command == nullptr || output == nullptr || size == 0) return -1;
    std::FILE *stream = kova_popen_s(command, "r", nullptr);
    if (stream == nullptr) {
        KOVA_LOG(kova::log::kInfo, "Popen %s fail errno %d", command, errno);
        return -1;
    }
    char line[kNameSize];
    if (std::fgets(line, sizeof line, stream) == nullptr) {
        KOVA_LOG(kova::log::kInfo, "Fgets err, errno=%d.", errno);
        kova_pclose(stream);
        return -1;
    }
    kova_pclose(stream);
    const auto capacity = static_cast<int32_t>(size > INT32_MAX ? INT32_MAX : size);
    if (kova_remove_noneprint_characters(line, static_cast<int32_t>(std::strlen(line)), output, capacity) != 0) {
        KOVA_LOG(kova::log::kInfo, "Copy str error.");
        return -1;
    }
    return 0;
}

extern "C" int kova_exec_systemd_detect_virt(void)
{
    if (record_done.load(std::memory_order_acquire)) return 0;
    std::lock_guard guard(record_lock);
    if (record_done.load(std::memory_order_relaxed)) return 0;
    bool filled = kova_exec_systemd_detect_virt_inner("systemd-detect-virt -v", record.virtualisation, kNameSize) == 0 &&
                  kova_exec_systemd_detect_virt_inner("cat /sys/class/dmi/id/product_name", record.product, kNameSize) == 0;
    record_done.store(filled, std::memory_order_release);
    return filled ? 0 : -1;
}

extern "C" int kova_get_machine_type_inner(void)
{
    if (kova_exec_systemd_detect_virt() != 0) return KOVA_MACHINE_UNKNOWN;
    if (std::strcmp(record.virtualisation, "none") != 0 && std::strcmp(record.virtualisation, "None") != 0)
        return KOVA_MACHINE_VIRTUAL;
    return is_openstack_product() ? KOVA_MACHINE_VIRTUAL : KOVA_MACHINE_PHYSICAL;
}

extern "C" int kova_get_machine_type(void)
{
    std::uint32_t cached = machine_type_cache.load(std::memory_order_acquire);
    if (cached != kUnknownCache) return static_cast<int>(cached);
    int type = kova_get_machine_type_inner();
    machine_type_cache.store(static_cast<std::uint32_t>(type), std::memory_order_release);
    return type;
}

extern "C" int kova_get_virtual_machine_type(char *buffer, uint32_t size)
{
    if (buffer == nullptr || size == 0) return -1;
    const char *name = "Unknow machine";
    switch (kova_get_machine_type()) {
    case KOVA_MACHINE_PHYSICAL: name = record.virtualisation; break;
    case KOVA_MACHINE_VIRTUAL: name = is_openstack_product() ? record.product : record.virtualisation; break;
    default: break;
    }
    std::snprintf(buffer, size, "%s", name);
    return 0;
}
