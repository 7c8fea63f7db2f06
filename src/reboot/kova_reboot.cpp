#include "kova/kova_reboot.h"

#include <cerrno>
#include <cstdarg>

#include "init/kova_log.h"
#include "kova/kova_str.h"
#include "kovalog/kovalog.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("reboot/kova_reboot")

namespace {

constexpr char kRebootCommand[] = "reboot -f";
constexpr std::size_t kPanicText = 256;

int run_reboot() { return kova_system_s(kRebootCommand, nullptr); }

}  // namespace

extern "C" int printk(const char *format, ...)
{
    if (format == nullptr) return -1;
    va_list args;
    va_start(args, format);
    int n = kovalog_vraw(format, args);
    va_end(args);
    return n;
}

extern "C" void panic(const char *format, ...)
{
    char text[kPanicText] = {};
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        int n = kova::sec::vsnprintf_s(text, sizeof text, sizeof text - 1, format, args);
        va_end(args);
        if (n == -1) KOVA_LOG(kova::log::kError, "Print panic info error, ret(%d) errno(%d).", -1, errno);
    }
    printk("Panic info = %s\n", text);
    run_reboot();
}

extern "C" int32_t kova_Reboot(uint64_t reason, uint32_t pid, const char *message)
{
    kovalog_original("Usrspace reboot, reason:%lu, pid:%u mes:%s.", static_cast<unsigned long>(reason), pid,
                     message != nullptr ? message : "(null)");
    return run_reboot();
}

extern "C" int32_t kova_ResetLocalBoard(void)
{
    kovalog_original("Usrspace reboot.");
    run_reboot();
    return 0;
}

extern "C" int32_t kova_get_reboot_count(void)
{
    KOVA_LOG(kova::log::kDebug, "Simu not support get reboot count.");
    return 0;
}
