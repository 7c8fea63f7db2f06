// The built-in module table behind kova_pid_get_name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova::process {

struct BuiltinModule {
    std::uint16_t id;
    const char *name;
};

extern const BuiltinModule builtin_modules[];
extern const std::size_t builtin_module_count;

}  // namespace kova::process
