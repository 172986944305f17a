# What `cmake --install` puts in place, split in three components:
#   runtime      the shared library with its SONAME link
#   development  tivax.h, tivax_version.h, the libtivax.so link, tivax.pc and
#                the CMake package (find_package(tivax) -> tivax::tivax)
#   tools        the command-line tool, the device emulator and the udev rule
# The version comes from project() alone; the ABI major is the SOVERSION.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TIVAX_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tivax CACHE STRING
    "Where the CMake package files go, relative to the prefix")
set(TIVAX_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig CACHE STRING
    "Where tivax.pc goes, relative to the prefix")
# udev reads rules from <prefix>/lib/udev/rules.d for /usr and /usr/local.
set(TIVAX_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
    "Where the udev rule goes, relative to the prefix")

# The version header, generated from the project version.
set(TIVAX_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/generated/include)
configure_file(${PROJECT_SOURCE_DIR}/cmake/tivax_version.h.in
               ${TIVAX_GENERATED_INCLUDE_DIR}/tivax_version.h @ONLY)
target_include_directories(tivax PUBLIC $<BUILD_INTERFACE:${TIVAX_GENERATED_INCLUDE_DIR}>)

install(TARGETS tivax EXPORT tivaxTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime
    NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tivax.h
              ${TIVAX_GENERATED_INCLUDE_DIR}/tivax_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# pkg-config: every path is taken relative to the .pc file, so the same file
# serves a package under /usr and a tree installed under any other prefix.
function(tivax_pc_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
file(RELATIVE_PATH TIVAX_PC_TO_PREFIX /prefix/${TIVAX_PKGCONFIG_INSTALL_DIR} /prefix)
string(REGEX REPLACE "/$" "" TIVAX_PC_TO_PREFIX "${TIVAX_PC_TO_PREFIX}")
tivax_pc_path(TIVAX_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
tivax_pc_path(TIVAX_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/tivax.pc.in ${PROJECT_BINARY_DIR}/generated/tivax.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/generated/tivax.pc
        DESTINATION ${TIVAX_PKGCONFIG_INSTALL_DIR} COMPONENT development)

# The CMake package: a major version accepts any newer minor or patch.
install(EXPORT tivaxTargets NAMESPACE tivax:: FILE tivaxTargets.cmake
        DESTINATION ${TIVAX_CMAKE_INSTALL_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tivaxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/generated/tivaxConfig.cmake
  INSTALL_DESTINATION ${TIVAX_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/generated/tivaxConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/generated/tivaxConfig.cmake
              ${PROJECT_BINARY_DIR}/generated/tivaxConfigVersion.cmake
        DESTINATION ${TIVAX_CMAKE_INSTALL_DIR} COMPONENT development)

# Inside this build, the same name resolves to the library target.
add_library(tivax::tivax ALIAS tivax)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-tivax.rules
        DESTINATION ${TIVAX_UDEV_RULES_DIR} COMPONENT tools)

# The programs are defined under tools/, which is read after this file; their
# install rules are added once the whole tree has been read.
function(tivax_install_programs)
  foreach(program tivax-cli tivax-emulator)
    if(TARGET ${program})
      # The tools find the library beside them wherever the tree is installed.
      set_target_properties(${program} PROPERTIES
        INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    else()
      message(WARNING "${program} is not defined: the tools component will lack it")
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL tivax_install_programs)
