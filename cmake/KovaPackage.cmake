# Debian packages (./build.sh package): libkova1 (the two shared libraries), libkova-dev (headers,
# the unversioned links, kova.pc, the CMake package) and kovactl. Runtime dependencies come from
# dpkg-shlibdeps; the packages of this project depend on each other at exactly this version.
set(kova_deb_packages runtime libkova1 libs dev libkova-dev libdevel kovactl kovactl utils)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(kova_deb_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(CPACK_PACKAGE_CONTACT "libkova developers <libkova@example.org>")

# Every package carries its copyright, changelog and lintian overrides (each with its reason).
string(TIMESTAMP kova_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(kova_deb_docs)
foreach(i RANGE 0 8 3)
  list(SUBLIST kova_deb_packages ${i} 3 entry)
  list(GET entry 0 component)
  list(GET entry 1 package)
  list(GET entry 2 section)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  set(changelog ${CMAKE_BINARY_DIR}/debian/${package}/changelog.Debian)
  file(WRITE ${changelog}
    "libkova (${kova_deb_version}) unstable; urgency=medium\n\n"
    "  * libkova ${PROJECT_VERSION}.\n\n"
    " -- ${CPACK_PACKAGE_CONTACT}  ${kova_deb_date}\n")
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND gzip -9nkf ${changelog}
    DEPENDS ${changelog} VERBATIM)
  list(APPEND kova_deb_docs ${changelog}.gz)
  install(FILES ${changelog}.gz ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/${package}.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package} COMPONENT ${component})
endforeach()
add_custom_target(kova_deb_docs ALL DEPENDS ${kova_deb_docs})
# The libraries live in a directory of the dynamic loader: libc's ldconfig trigger refreshes its cache.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libkova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev kovactl)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# kovactl's libkova.so.1 is found in the build tree; its dependency is the component one below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/src ${CMAKE_BINARY_DIR}/kovalog)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Extended description lines stay within 79 characters (lintian counts the leading space).
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "operating-system abstraction layer of a storage data plane\n"
  "libkova gives the user-space processes of a storage controller's data\n"
  "plane their platform services: threads, locks, timers, scheduled work,\n"
  "CPU, NUMA and memory discovery, time zones, configuration files, filtered\n"
  "shell commands, stack dumps, containers, checksums and sockets, behind a\n"
  "C interface.\n"
  "This package holds the shared libraries libkova and libkovalog.")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "operating-system abstraction layer of a storage data plane (development files)\n"
  "libkova gives the user-space processes of a storage controller's data\n"
  "plane their platform services behind a C interface.\n"
  "This package holds the C headers, the link-time libraries, the pkg-config\n"
  "file and the CMake package (find_package(kova)).")
set(CPACK_COMPONENT_KOVACTL_DESCRIPTION
  "command-line tool showing what libkova sees on a machine\n"
  "kovactl brings libkova up in its own process and shows the time base, threads,\n"
  "timers, scheduled work, CPUs, memory, zones and checksums, and reads and edits\n"
  "INI files.")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_KOVACTL_DEPENDS runtime)
# The headers include mxml.h, and kova.pc names mxml: a development dependency no library shows.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libmxml-dev")

include(CPack)
