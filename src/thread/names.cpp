#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "init/kova_log.h"
#include "platform/bounded.h"
#include "thread/thread_internal.h"

KOVA_LOG_SOURCE("thread/kova_thrd")

namespace {

constexpr std::size_t kProcessNameLen = 32;

// Each name is read once per process; a failed read leaves its flag down so that a later
// call tries again.
struct CachedName {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<bool> done{false};
    char text[kProcessNameLen] = "default";

    // Fills `text` once with `read` (0 on success): -1 when that read fails.
    int fill(int (*read)(char *text))
    {
        if (done.load(std::memory_order_acquire)) return 0;
        if (pthread_mutex_lock(&lock) != 0) return 0;
        int result = 0;
        if (!done.load(std::memory_order_relaxed)) {
            result = read(text);
            if (result == 0) done.store(true, std::memory_order_release);
        }
        pthread_mutex_unlock(&lock);
        return result;
    }

    void reset()
    {
        pthread_mutex_lock(&lock);
        std::strcpy(text, "default");
        done.store(false, std::memory_order_release);
        pthread_mutex_unlock(&lock);
    }
};

CachedName process_name;
CachedName exe_name;

int read_process_name(char *text)
{
    char path[64];
    kova::sec::sprintf_s(path, sizeof path, "/proc/%d/status", getpid());
    std::FILE *file = std::fopen(path, "re");
    if (file == nullptr) {
        KOVA_LOG_AS("kova_get_process_name", kova::log::kError, "dp log get comm failed ret=%p errno=%d file=%s",
                    static_cast<void *>(file), errno, path);
        return -1;
    }
    char line[256];
    char name[kProcessNameLen];
    int result = -1;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (kova::sec::sscanf_s(line, "Name:\t%31[^\n]", name) == 1) {
            kova::sec::strncpy_s(text, kProcessNameLen, name, kProcessNameLen - 1);
            result = 0;
            break;
        }
    }
    if (result != 0)
        KOVA_LOG_AS("kova_get_process_name", kova::log::kError, "dp log read comm failed fp=%p errno=%d file=%s",
                    static_cast<void *>(file), errno, path);
    std::fclose(file);
    return result;
}

int read_exe_name(char *text)
{
    char path[64];
    if (kova::sec::sprintf_s(path, sizeof path, "/proc/%lld/exe",
                             static_cast<long long>(kova_thread_get_knl_tid())) < 0) {
        KOVA_LOG_AS("kova_get_process_exe_name", kova::log::kError, "Can't get program path info.");
        return -1;
    }
    char target[256];
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length < 0) {
        KOVA_LOG_AS("kova_get_process_exe_name", kova::log::kError, "Readlink program path<%s> fail errno<%d>.",
                    path, errno);
        return -1;
    }
    target[length] = '\0';
    if (const char *slash = std::strrchr(target, '/')) {
        int ret = kova::sec::sprintf_s(text, kProcessNameLen, "%s", slash + 1);
        if (ret < 0) {
            KOVA_LOG_AS("kova_get_process_exe_name", kova::log::kError, "Set exe name failed, ret(%d).", ret);
            return -1;
        }
        return 0;
    }
    int ret = kova::sec::strncpy_s(text, kProcessNameLen, target, kProcessNameLen - 1);
    if (ret != 0) {
        KOVA_LOG_AS("kova_get_process_exe_name", kova::log::kError, "Set programName failed, ret(%d).", ret);
        return -1;
    }
    return 0;
}

}  // namespace

namespace kova::thread {

void reset_process_names_for_test()
{
    process_name.reset();
    exe_name.reset();
}

}  // namespace kova::thread

extern "C" void kova_thrd_setname(const char *format, ...)
{
    if (format == nullptr) {
        KOVA_LOG(kova::log::kError, "Kova set thrd name(NULL) fail.");
        return;
    }
    kova_thread_s *record = m_current_thread;
    if (record == nullptr) {
        KOVA_LOG(kova::log::kError, "Kova set thrd name(%s) fail, please use kova or Tiro create thrd.", format);
        return;
    }
    char name[KOVA_THRD_NAME_LEN] = {};
    va_list args;
    va_start(args, format);
    int ret = kova::sec::vsnprintf_s(name, sizeof name, KOVA_THRD_NAME_LEN - 1, format, args);
    va_end(args);
    if (ret < 0 && name[0] == '\0') KOVA_LOG(kova::log::kError, "vsnprintf_s failed, name(%s).", format);
    name[KOVA_THRD_NAME_LEN - 1] = '\0';
    // Listings read the name while its owner renames itself.
    for (std::size_t i = 0; i < KOVA_THRD_NAME_LEN; ++i)
        std::atomic_ref(record->name[i]).store(name[i], std::memory_order_relaxed);
    if (prctl(PR_SET_NAME, name, 0, 0, 0) != 0)
        KOVA_LOG(kova::log::kError, "Kova set thrd name fail, errno:%d.", errno);
}

extern "C" const char *kova_thrd_getname(void)
{
    return m_current_thread != nullptr ? m_current_thread->name : nullptr;
}

extern "C" int kova_get_process_name(char *buffer, uint32_t size)
{
    if (process_name.fill(read_process_name) != 0) return -1;
    if (kova::sec::strncpy_s(buffer, size, process_name.text, size - 1) != 0) {
        KOVA_LOG(kova::log::kError, "strncpy_s failed, processName(%s).", process_name.text);
        return -1;
    }
    return 0;
}

extern "C" int kova_get_process_exe_name(char *buffer, uint32_t size)
{
    if (buffer == nullptr) {
        KOVA_LOG(kova::log::kError, "programName is NULL.");
        return -1;
    }
    if (exe_name.fill(read_exe_name) != 0) return -1;
    if (size > kProcessNameLen) size = kProcessNameLen;
    int ret = kova::sec::strncpy_s(buffer, size, exe_name.text, size - 1);
    if (ret != 0) {
        KOVA_LOG(kova::log::kError, "Copy program name failed, ret(%d).", ret);
        return -1;
    }
    return 0;
}
