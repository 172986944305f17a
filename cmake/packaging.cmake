# Debian packages, one per install component (`cpack -G DEB` in the build
# directory):
#   libtivax<major>  runtime      the shared library
#   libtivax-dev     development  header, link, pkg-config and CMake files
#   tivax-tools      tools        command-line tool, emulator, udev rule
set(TIVAX_PACKAGE_CONTACT "libtivax maintainers <libtivax@localhost>" CACHE STRING
    "Maintainer written into the Debian packages")

set(tivax_runtime_package libtivax${PROJECT_VERSION_MAJOR})
set(tivax_exact "(= ${PROJECT_VERSION})")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tivax)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TIVAX_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${tivax_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"SAT-CF-e fiscal device library
libtivax lets point-of-sale software drive a SAT-CF-e fiscal device over
its USB serial link through the sixteen standard SAT functions.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtivax-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${tivax_runtime_package} ${tivax_exact}")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"SAT-CF-e fiscal device library - development files
The header, the pkg-config file and the CMake package (tivax::tivax) for
building programs against libtivax.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tivax-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS udev)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"SAT-CF-e fiscal device library - tools
The tivax command (every SAT function from the shell), a device emulator on
a pseudo-terminal, and the udev rule that names the device /dev/tivax and
opens it to the dialout group.")
# dpkg takes maintainer scripts by file name: the tools' script is copied
# under the name "postinst".
configure_file(${PROJECT_SOURCE_DIR}/packaging/tivax-tools.postinst
               ${PROJECT_BINARY_DIR}/packaging/tools/postinst COPYONLY)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/tools/postinst)

# CPack reads the staged files with `file` (package "file") before it can
# write a shlibs file, call ldconfig or run dpkg-shlibdeps (package
# "dpkg-dev", which reads only the local package database). Without them the
# packages are still built, with the dependencies written out here.
find_program(TIVAX_FILE_COMMAND file)
find_program(TIVAX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TIVAX_FILE_COMMAND)
  # A shlibs file and the ldconfig calls, so that programs built against the
  # library depend on libtivax<major> (>= this version). Only the runtime
  # package holds a shared object.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
endif()
if(TIVAX_FILE_COMMAND AND TIVAX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The tools link the library of this build, which no installed package
  # holds yet: let dpkg-shlibdeps find it here; the dependency on it is
  # written below.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
  set(tivax_system_depends "")
else()
  set(tivax_system_depends "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${tivax_system_depends}")
if(tivax_system_depends)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${tivax_runtime_package} ${tivax_exact}, ${tivax_system_depends}")
else()
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${tivax_runtime_package} ${tivax_exact}")
endif()

include(CPack)
