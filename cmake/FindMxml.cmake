# Finds Mini-XML (Debian libmxml-dev) and defines the imported target Mxml::Mxml.
# Installed beside kova's package config, which needs it: libkova's XML header includes mxml.h.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND AND NOT CMAKE_CROSSCOMPILING)
  pkg_check_modules(PC_MXML QUIET mxml)
endif()
find_path(Mxml_INCLUDE_DIR mxml.h HINTS ${PC_MXML_INCLUDE_DIRS})
find_library(Mxml_LIBRARY NAMES mxml HINTS ${PC_MXML_LIBRARY_DIRS})

# A cross build finds the multiarch package (libmxml-dev:arm64) outside its sysroot. Its header
# is the same for every architecture, but /usr/include as a whole is the host's: only mxml.h is
# offered, through a directory of its own.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND NOT Mxml_LIBRARY)
  find_library(Mxml_LIBRARY NAMES mxml PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
               NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endif()
if(CMAKE_CROSSCOMPILING AND NOT Mxml_INCLUDE_DIR AND EXISTS /usr/include/mxml.h)
  set(_mxml_dir ${CMAKE_BINARY_DIR}/mxml-include)
  file(MAKE_DIRECTORY ${_mxml_dir})
  file(CREATE_LINK /usr/include/mxml.h ${_mxml_dir}/mxml.h SYMBOLIC)
  set(Mxml_INCLUDE_DIR ${_mxml_dir} CACHE PATH "Mini-XML header directory" FORCE)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Mxml REQUIRED_VARS Mxml_LIBRARY Mxml_INCLUDE_DIR VERSION_VAR PC_MXML_VERSION)
if(Mxml_FOUND AND NOT TARGET Mxml::Mxml)
  add_library(Mxml::Mxml UNKNOWN IMPORTED)
  set_target_properties(Mxml::Mxml PROPERTIES IMPORTED_LOCATION "${Mxml_LIBRARY}"
                        INTERFACE_INCLUDE_DIRECTORIES "${Mxml_INCLUDE_DIR}")
endif()
mark_as_advanced(Mxml_INCLUDE_DIR Mxml_LIBRARY)
