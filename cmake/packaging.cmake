# SPDX-License-Identifier: MIT
# Debian packages, one per install component of cmake/install.cmake
# (`cpack -G DEB` in the build directory; `make deb` builds them as Debian
# does, see tools/build-packages.sh):
#   libtivax<major>  runtime      the shared library, its symbols file
#   libtivax-dev     development  header, link, pkg-config and CMake files,
#                                 libtivax(3), examples
#   tivax-tools      tools        command-line tool, emulator, udev rule
#   python3-tivax    python       the Python module
#   tivax-hub        hub          the HTTP service for several checkouts
# A new package is one tivax_deb_package() call below.
set(tivax_runtime_package ${TIVAX_PACKAGE_runtime})
set(tivax_exact "(= ${PROJECT_VERSION})")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tivax)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TIVAX_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed under DESTDIR with the real prefix, so that what is written at
# install time (tivax.pc) names /usr, not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL ${TIVAX_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)

# CPack reads the staged files with `file` (package "file") before it runs
# dpkg-shlibdeps (package "dpkg-dev", which reads only the local package
# database). Without them the packages are still built, with the
# dependencies written out here.
find_program(TIVAX_FILE_COMMAND file)
find_program(TIVAX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TIVAX_FILE_COMMAND AND TIVAX_DPKG_SHLIBDEPS)
  set(tivax_shlibdeps ON)
  set(tivax_system_depends "")
else()
  set(tivax_shlibdeps OFF)
  set(tivax_system_depends "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
endif()
# The tools link the library of this build, which no installed package
# holds yet: dpkg-shlibdeps finds it here; the dependency on it is written
# out below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

# tivax_deb_package(COMPONENT NAME SECTION S SUMMARY S DESCRIPTION S
#                   [ARCHITECTURE all] [SHLIBDEPS] [DEPENDS ...]
#                   [RECOMMENDS ...] [CONTROL files...])
# DEPENDS and RECOMMENDS are lists of relations; SHLIBDEPS adds what
# dpkg-shlibdeps finds for the package's programs. CONTROL files go into the
# package's control area under their own names (postinst, triggers, ...).
function(tivax_deb_package component)
  cmake_parse_arguments(P "SHLIBDEPS" "SECTION;SUMMARY;DESCRIPTION;ARCHITECTURE"
                        "DEPENDS;RECOMMENDS;CONTROL" ${ARGN})
  string(TOUPPER ${component} C)
  set(prefix CPACK_DEBIAN_${C})
  set(${prefix}_PACKAGE_NAME ${TIVAX_PACKAGE_${component}} PARENT_SCOPE)
  set(${prefix}_PACKAGE_SECTION ${P_SECTION} PARENT_SCOPE)
  set(${prefix}_DESCRIPTION "${P_SUMMARY}\n${P_DESCRIPTION}" PARENT_SCOPE)
  if(P_ARCHITECTURE)
    set(${prefix}_PACKAGE_ARCHITECTURE ${P_ARCHITECTURE} PARENT_SCOPE)
  endif()
  set(depends ${P_DEPENDS})
  if(P_SHLIBDEPS AND tivax_shlibdeps)
    set(${prefix}_PACKAGE_SHLIBDEPS ON PARENT_SCOPE)
  else()
    set(${prefix}_PACKAGE_SHLIBDEPS OFF PARENT_SCOPE)
    if(P_SHLIBDEPS AND tivax_system_depends)
      list(APPEND depends "${tivax_system_depends}")
    endif()
  endif()
  list(JOIN depends ", " depends)
  list(JOIN P_RECOMMENDS ", " recommends)
  set(${prefix}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
  set(${prefix}_PACKAGE_RECOMMENDS "${recommends}" PARENT_SCOPE)
  set(${prefix}_PACKAGE_CONTROL_EXTRA "${P_CONTROL}" PARENT_SCOPE)
endfunction()

# dpkg takes control files by name: each is copied under its name into a
# folder of its package.
function(tivax_control_file out package name source)
  set(target ${PROJECT_BINARY_DIR}/packaging/${package}/${name})
  configure_file(${source} ${target} COPYONLY)
  set(${out} ${${out}} ${target} PARENT_SCOPE)
endfunction()

# ---- the runtime package -----------------------------------------------------
# The symbols file is kept with comments; the package gets it without them.
# shlibs asks for the newest version the symbols file names, so that a
# program linked against an older library still finds every symbol.
set(tivax_symbols_file ${PROJECT_SOURCE_DIR}/packaging/${tivax_runtime_package}.symbols)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${tivax_symbols_file})
file(STRINGS ${tivax_symbols_file} tivax_symbols REGEX "^[^#]")
list(JOIN tivax_symbols "\n" tivax_symbols_text)
set(tivax_shlibs_version 0)
foreach(line ${tivax_symbols})
  if(line MATCHES "^ [^ ]+ ([^ ]+)$" AND CMAKE_MATCH_1 VERSION_GREATER tivax_shlibs_version)
    set(tivax_shlibs_version ${CMAKE_MATCH_1})
  endif()
endforeach()
set(tivax_runtime_control_dir ${PROJECT_BINARY_DIR}/packaging/${tivax_runtime_package})
file(WRITE ${tivax_runtime_control_dir}/symbols.in "${tivax_symbols_text}\n")
file(WRITE ${tivax_runtime_control_dir}/shlibs.in
     "libtivax ${PROJECT_VERSION_MAJOR} ${tivax_runtime_package} (>= ${tivax_shlibs_version})\n")
set(tivax_runtime_control)
foreach(name symbols shlibs)
  tivax_control_file(tivax_runtime_control ${tivax_runtime_package} ${name} ${tivax_runtime_control_dir}/${name}.in)
endforeach()
# dpkg runs ldconfig once, after every package of the run is in place.
tivax_control_file(tivax_runtime_control ${tivax_runtime_package} triggers
                   ${PROJECT_SOURCE_DIR}/packaging/${tivax_runtime_package}.triggers)

# The library's own dependencies come from dpkg-shlibdeps at package time
# (cmake/cpack_options.cmake): CPack would add ldconfig calls to the
# maintainer scripts of any package it runs dpkg-shlibdeps on, and the
# trigger above does that job.
tivax_deb_package(runtime
  SECTION libs
  SUMMARY "SAT-CF-e fiscal device library"
  DESCRIPTION "libtivax lets point-of-sale software drive a SAT-CF-e fiscal device over
its USB serial link through the sixteen standard SAT functions."
  DEPENDS ${tivax_system_depends}
  CONTROL ${tivax_runtime_control})
set(CPACK_TIVAX_RUNTIME_LIBRARY ${PROJECT_BINARY_DIR}/libtivax.so.${PROJECT_VERSION})
set(CPACK_TIVAX_SHLIBDEPS ${TIVAX_DPKG_SHLIBDEPS})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_options.cmake)

# ---- the other packages ------------------------------------------------------
tivax_deb_package(development
  SECTION libdevel
  SUMMARY "SAT-CF-e fiscal device library - development files"
  DESCRIPTION "The header, the pkg-config file and the CMake package (tivax::tivax) for
building programs against libtivax, its manual page libtivax(3) and
examples in C and Python."
  DEPENDS "${tivax_runtime_package} ${tivax_exact}")

tivax_control_file(tivax_tools_control ${TIVAX_PACKAGE_tools} postinst
                   ${PROJECT_SOURCE_DIR}/packaging/${TIVAX_PACKAGE_tools}.postinst)
tivax_deb_package(tools
  SECTION utils
  SUMMARY "SAT-CF-e fiscal device library - tools"
  DESCRIPTION "The tivax command (every SAT function from the shell), a device emulator on
a pseudo-terminal, and the udev rule that names the device /dev/tivax and
opens it to the dialout group."
  SHLIBDEPS
  DEPENDS "${tivax_runtime_package} ${tivax_exact}"
  RECOMMENDS udev
  CONTROL ${tivax_tools_control})

tivax_deb_package(python
  SECTION python
  ARCHITECTURE all
  SUMMARY "SAT-CF-e fiscal device library - Python 3 module"
  DESCRIPTION "The tivax module calls the SAT functions of libtivax from Python 3 through
ctypes, with type hints; results come back as str."
  DEPENDS "python3:any" "${tivax_runtime_package} (>= ${PROJECT_VERSION})")

set(tivax_hub_control)
foreach(script postinst prerm postrm)
  tivax_control_file(tivax_hub_control ${TIVAX_PACKAGE_hub} ${script}
                     ${PROJECT_SOURCE_DIR}/packaging/${TIVAX_PACKAGE_hub}.${script})
endforeach()
tivax_deb_package(hub
  SECTION net
  SUMMARY "SAT-CF-e fiscal device shared by several checkouts over HTTP"
  DESCRIPTION "tivax-hub holds the store's SAT-CF-e device and serves its sixteen
functions to the checkouts over HTTP, one exchange at a time, with a durable
journal that answers a repeated request without a second sale. It runs as
its own user under systemd."
  SHLIBDEPS
  DEPENDS "${tivax_runtime_package} ${tivax_exact}" adduser
  RECOMMENDS systemd
  CONTROL ${tivax_hub_control})

include(CPack)
