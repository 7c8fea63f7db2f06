#include "kova/kova_log.h"

extern "C" int kova_log_init(const char *path, int default_level) { return kovalog_init(path, default_level); }

extern "C" int kova_log_destroy(void) { return kovalog_destroy(); }

extern "C" int kova_log_level_set(uint32_t module, int level) { return kovalog_loglevel_set(module, level); }

extern "C" int kova_log_level_get(uint32_t module) { return kovalog_loglevel_get(module); }

extern "C" int kova_ratelimit_set(uint32_t module, uint32_t burst, uint32_t interval_ms)
{
    return kovalog_ratelimit_set(kovalog_get_group_id(module), burst, interval_ms);
}

extern "C" int kova_log_register_callback(const kovalog_content_callback_s *registration)
{
    static const kovalog_content_callback_s empty{0, nullptr};
    return kovalog_register_content_callback(registration != nullptr ? registration : &empty);
}
