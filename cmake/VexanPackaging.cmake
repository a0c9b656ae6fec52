# What `install` puts in place besides the library's own files (src/), and the
# packages CPack makes of it.
#
# Install components, which are also the Debian packages:
#   vexan_runtime   libvexan2      the shared library (named by its soname)
#   vexan_dev       libvexan-dev   header, static library, CMake and pkg-config files
#   vexan_programs  vexan          vexan, vexan-sim, their manual pages, the
#                                  Python package for python3 with the device
#                                  model's libvexan_od.so beside it, and every
#                                  install rule that names no component
# `cpack -G DEB` makes the three packages from a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (so that GNUInstallDirs picks Debian's multiarch
# library directory); scripts/check-package.sh does that from a Release build
# and checks them. `cpack -G TGZ` makes one archive of everything.

set(VEXAN_DEB_RUNTIME_PACKAGE libvexan${PROJECT_VERSION_MAJOR})
set(VEXAN_DEB_DEV_PACKAGE libvexan-dev)
set(VEXAN_DEB_PROGRAMS_PACKAGE vexan)

if(NOT WIN32)
  # The simulator program (the tool installs itself, tools/vexan/).
  if(TARGET vexan-sim)
    install(TARGETS vexan-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vexan_programs)
  endif()

  # vexan serve's systemd unit, a template instantiated per serial device
  # (vexan-serve@ttyUSB0); nothing enables it.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/vexan-serve@.service
    DESTINATION lib/systemd/system COMPONENT vexan_programs)

  # copyright and changelog.Debian.gz in each package's documentation folder.
  set(changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian > ${changelog_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian
    COMMENT "Compressing the Debian changelog" VERBATIM)
  add_custom_target(vexan_package_docs ALL DEPENDS ${changelog_gz})
  foreach(component IN ITEMS runtime dev programs)
    string(TOUPPER ${component} upper)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog_gz}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VEXAN_DEB_${upper}_PACKAGE} COMPONENT vexan_${component})
  endforeach()

  # Manual pages of the programs, made from their own --help at build time by
  # help2man, installed compressed. Without help2man (or when cross-compiling,
  # or in a sanitizer build, which is not for installing) there are none, which
  # the package check reports.
  find_program(VEXAN_HELP2MAN help2man)
  if(NOT VEXAN_HELP2MAN)
    message(STATUS "help2man not found: no manual pages (scripts/install-deps.sh installs it)")
  elseif(NOT CMAKE_CROSSCOMPILING AND NOT VEXAN_SANITIZE)
    set(man_pages "")
    foreach(program IN ITEMS vexan vexan-sim)
      if(program STREQUAL "vexan")
        set(target vexan-tool)
        set(summary "drive CANopen master modules over serial lines from the command line")
      else()
        set(target vexan-sim)
        set(summary "simulate a CANopen master module on a pseudo-terminal")
      endif()
      if(NOT TARGET ${target})
        continue()
      endif()
      set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
      add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ${VEXAN_HELP2MAN} --no-info --no-discard-stderr
                --name=${summary} --version-string=${PROJECT_VERSION}
                --include=${PROJECT_SOURCE_DIR}/packaging/${program}.h2m --output=${page} $<TARGET_FILE:${target}>
        COMMAND gzip -9 -n -f ${page}
        DEPENDS ${target} ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
        COMMENT "Manual page ${program}(1) from ${program} --help" VERBATIM)
      list(APPEND man_pages ${page}.gz)
    endforeach()
    add_custom_target(vexan_man_pages ALL DEPENDS ${man_pages})
    install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT vexan_programs)
  endif()

  # The Python package, where Debian's python3 finds packaged modules
  # (<prefix>/lib/python3/dist-packages); it finds the library of the same
  # prefix by itself (python/vexan/_library.py).
  option(VEXAN_INSTALL_PYTHON "Install the Python package vexan" ON)
  set(VEXAN_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE STRING
      "Where the Python package is installed, relative to the prefix (Debian's python3 reads \
/usr/lib/python3/dist-packages; under /usr/local it reads lib/python3.X/dist-packages)")
  if(IS_ABSOLUTE "${VEXAN_PYTHON_INSTALL_DIR}")
    set(VEXAN_PYTHON_INSTALL_FULL_DIR "${VEXAN_PYTHON_INSTALL_DIR}")
  else()
    set(VEXAN_PYTHON_INSTALL_FULL_DIR "${CMAKE_INSTALL_PREFIX}/${VEXAN_PYTHON_INSTALL_DIR}")
  endif()
  if(VEXAN_INSTALL_PYTHON)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/vexan DESTINATION ${VEXAN_PYTHON_INSTALL_DIR}
      COMPONENT vexan_programs
      FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
    # The device model's C interface (src/od/), which vexan.od loads: a private
    # library without a soname, so it lives beside the package that uses it,
    # where the package looks for it first, not in the loader's directories.
    if(TARGET vexan_od_shared)
      install(TARGETS vexan_od_shared LIBRARY DESTINATION ${VEXAN_PYTHON_INSTALL_DIR}/vexan
        COMPONENT vexan_programs
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  endif()
endif()

set(CPACK_PACKAGE_NAME vexan)
set(CPACK_PACKAGE_VENDOR "Vexan")
set(CPACK_PACKAGE_CONTACT "Vexan maintainers <vexan@example.org>")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it above every
# component's description; each component's first line is its own summary.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR TGZ)
# Installed programs and the library lose their symbol tables in the packages.
set(CPACK_STRIP_FILES ON)
# Only these: an install rule without a component joins the programs (the top
# level sets CMAKE_INSTALL_DEFAULT_COMPONENT_NAME).
set(CPACK_COMPONENTS_ALL vexan_runtime vexan_dev vexan_programs)
# Checks at `cpack` time that a Debian package gets /usr paths.
configure_file(${PROJECT_SOURCE_DIR}/packaging/CPackProjectConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake)

# Debian: <name>_<version>-<release>_<arch>.deb, one per component.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The Debian revision is the top entry's of packaging/changelog.Debian, which
# gets an entry for each package made of a new version.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian changelog_top LIMIT_COUNT 1)
if(changelog_top MATCHES "^vexan \\(${PROJECT_VERSION}-([0-9]+)\\)")
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})
else()
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  message(WARNING "packaging/changelog.Debian has no entry for ${PROJECT_VERSION} at its top ('${changelog_top}'); \
add one before making Debian packages")
endif()
set(CPACK_DEBIAN_PACKAGE_SOURCE vexan)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vexan maintainers <vexan@example.org>")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(vexan_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_VEXAN_RUNTIME_PACKAGE_NAME ${VEXAN_DEB_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_VEXAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_VEXAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# A shlibs file (only the runtime package has a shared library).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader's cache is refreshed by libc's ldconfig trigger; the package is
# packed again without the postinst and postrm calling ldconfig that CPack
# writes (packaging/CPackPostBuild.cmake.in).
configure_file(${PROJECT_SOURCE_DIR}/packaging/libvexan.triggers
  ${PROJECT_BINARY_DIR}/packaging/runtime/triggers COPYONLY)
set(CPACK_DEBIAN_VEXAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/runtime/triggers)
configure_file(${PROJECT_SOURCE_DIR}/packaging/CPackPostBuild.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/CPackPostBuild.cmake @ONLY)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/packaging/CPackPostBuild.cmake)
set(CPACK_COMPONENT_VEXAN_RUNTIME_DESCRIPTION "library driving CANopen master modules over serial lines
libvexan drives up to eight CANopen master modules, each on its own serial
line: the master's start, nodes and NMT, SDO transfers, PDOs, SYNC and EMCY,
and events for boot-up, EMCY and NMT errors.
.
This package holds the shared library.")

set(CPACK_DEBIAN_VEXAN_DEV_PACKAGE_NAME ${VEXAN_DEB_DEV_PACKAGE})
set(CPACK_DEBIAN_VEXAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_VEXAN_DEV_PACKAGE_DEPENDS "${VEXAN_DEB_RUNTIME_PACKAGE} (= ${vexan_deb_version})")
# The header, CMake and pkg-config files were in the one package vexan 2.0.3-1.
set(CPACK_DEBIAN_VEXAN_DEV_PACKAGE_BREAKS "vexan (<< ${vexan_deb_version})")
set(CPACK_DEBIAN_VEXAN_DEV_PACKAGE_REPLACES "vexan (<< ${vexan_deb_version})")
set(CPACK_COMPONENT_VEXAN_DEV_DESCRIPTION "library driving CANopen master modules - development files
libvexan drives up to eight CANopen master modules, each on its own serial
line.
.
This package holds the C header vexan.h, the static library and the files
for building against libvexan with CMake (find_package(vexan)) or
pkg-config (vexan.pc).")

set(CPACK_DEBIAN_VEXAN_PROGRAMS_PACKAGE_NAME ${VEXAN_DEB_PROGRAMS_PACKAGE})
set(CPACK_DEBIAN_VEXAN_PROGRAMS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_VEXAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the library the programs link in the build tree, which
# belongs to no installed package; the dependency on it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(CPACK_DEBIAN_VEXAN_PROGRAMS_PACKAGE_DEPENDS "${VEXAN_DEB_RUNTIME_PACKAGE} (>= ${vexan_deb_version})")
set(CPACK_DEBIAN_VEXAN_PROGRAMS_PACKAGE_SUGGESTS "python3")
configure_file(${PROJECT_SOURCE_DIR}/packaging/vexan.postinst.in ${PROJECT_BINARY_DIR}/packaging/programs/postinst
  @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/vexan.prerm.in ${PROJECT_BINARY_DIR}/packaging/programs/prerm @ONLY)
if(VEXAN_INSTALL_PYTHON AND NOT WIN32)
  set(CPACK_DEBIAN_VEXAN_PROGRAMS_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/programs/postinst
    ${PROJECT_BINARY_DIR}/packaging/programs/prerm)
endif()
set(CPACK_COMPONENT_VEXAN_PROGRAMS_DESCRIPTION "CANopen master modules from the command line and from Python
The vexan tool commissions and watches a bus behind a CANopen master module
on a serial line: module and node information, NMT, SDO reads and writes,
PDOs, SYNC, EMCY, an event monitor and an interactive shell; --sim runs it
against a simulated module. vexan serve answers the CiA 309-3 ASCII gateway
protocol on a Unix socket and TCP (a systemd unit template is included).
.
vexan-sim simulates a module with its nodes on a pseudo-terminal.
.
The Python package vexan drives the same modules from python3 through
libvexan.")

include(CPack)
