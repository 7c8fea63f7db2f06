# Warning and sanitizer flags shared by every target of the project.
add_library(kova_build_flags INTERFACE)
target_compile_options(kova_build_flags INTERFACE
  -Wall -Wextra $<$<BOOL:${KOVA_WERROR}>:-Werror>
  # The stack walkers follow frame records, so every frame keeps one.
  -fno-omit-frame-pointer
  $<$<STREQUAL:${CMAKE_SYSTEM_PROCESSOR},x86_64>:-mno-omit-leaf-frame-pointer>)

if(KOVA_SANITIZE STREQUAL "address")
  target_compile_options(kova_build_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  target_link_options(kova_build_flags INTERFACE -fsanitize=address,undefined)
elseif(KOVA_SANITIZE STREQUAL "thread")
  target_compile_options(kova_build_flags INTERFACE -fsanitize=thread)
  target_link_options(kova_build_flags INTERFACE -fsanitize=thread)
elseif(NOT KOVA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KOVA_SANITIZE must be '', 'address' or 'thread'")
endif()
