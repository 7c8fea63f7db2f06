#include <dlfcn.h>

#include <atomic>

#include "bitops/loaded_objects.h"
#include "kova/kova_bitops.h"

namespace {

std::atomic<kova::bitops::ObjectsChangedHook> objects_changed{nullptr};

void announce_objects_changed()
{
    if (auto hook = objects_changed.load(std::memory_order_acquire)) hook();
}

}  // namespace

namespace kova::bitops {

void set_objects_changed_hook(ObjectsChangedHook hook) { objects_changed.store(hook, std::memory_order_release); }

}  // namespace kova::bitops

extern "C" {

void *kova_dlopen(const char *file, int flags)
{
    void *handle = dlopen(file, flags);
    if (handle != nullptr && file != nullptr) announce_objects_changed();
    return handle;
}

void *kova_dlsym(void *handle, const char *symbol) { return handle == nullptr ? nullptr : dlsym(handle, symbol); }

char *kova_dlerror(void) { return dlerror(); }

int kova_dlclose(void *handle)
{
    if (handle == nullptr) return -1;
    int result = dlclose(handle);
    announce_objects_changed();
    return result;
}

}  // extern "C"
