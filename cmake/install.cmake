# SPDX-License-Identifier: MIT
# What `cmake --install` puts in place, one component per Debian package
# (cmake/packaging.cmake turns each into a package):
#   runtime      libtivax<major>  the shared library with its SONAME link
#   development  libtivax-dev     tivax.h, tivax_version.h, the libtivax.so
#                                 link, tivax.pc, the CMake package
#                                 (find_package(tivax) -> tivax::tivax),
#                                 libtivax(3) and the examples
#   tools        tivax-tools      the command-line tool, the device emulator,
#                                 their manual pages, the bash completion and
#                                 the udev rule
#   python       python3-tivax    the Python module, for the package only: a
#                                 plain `cmake --install` leaves it out (pip
#                                 installs it anywhere else)
#   hub          tivax-hub        the HTTP service that shares one device
#                                 among checkouts, its systemd unit, manual
#                                 page and example configuration
# Every component also gets /usr/share/doc/<package>/{copyright,changelog.gz}.
# A new component is one more name in TIVAX_COMPONENTS with its package name
# in TIVAX_PACKAGE_<component>, its install rules, and its package in
# packaging.cmake.
# The version comes from project() alone; the ABI major is the SOVERSION.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TIVAX_COMPONENTS runtime development tools python hub)
set(TIVAX_PACKAGE_runtime libtivax${PROJECT_VERSION_MAJOR})
set(TIVAX_PACKAGE_development libtivax-dev)
set(TIVAX_PACKAGE_tools tivax-tools)
set(TIVAX_PACKAGE_python python3-tivax)
set(TIVAX_PACKAGE_hub tivax-hub)
# Components that only the packages carry.
set(TIVAX_PACKAGE_ONLY_COMPONENTS python)

set(TIVAX_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tivax CACHE STRING
    "Where the CMake package files go, relative to the prefix")
set(TIVAX_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig CACHE STRING
    "Where tivax.pc goes, relative to the prefix")
# udev reads rules from <prefix>/lib/udev/rules.d for /usr and /usr/local.
set(TIVAX_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
    "Where the udev rule goes, relative to the prefix")
set(TIVAX_BASH_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions CACHE STRING
    "Where the bash completion of tivax goes, relative to the prefix")
# systemd reads units from <prefix>/lib/systemd/system; Debian's packages
# put them in /lib/systemd/system (tools/build-packages.sh says so).
set(TIVAX_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the tivax-hub unit goes, relative to the prefix or absolute")
set(TIVAX_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
    "Where the python3-tivax package puts the tivax module, relative to the prefix")

# Install options shared by every rule of a component.
function(tivax_component_options out component)
  set(options COMPONENT ${component})
  if(component IN_LIST TIVAX_PACKAGE_ONLY_COMPONENTS)
    list(APPEND options EXCLUDE_FROM_ALL)
  endif()
  set(${out} ${options} PARENT_SCOPE)
endfunction()

# The version header, generated from the project version.
set(TIVAX_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/generated/include)
configure_file(${PROJECT_SOURCE_DIR}/cmake/tivax_version.h.in
               ${TIVAX_GENERATED_INCLUDE_DIR}/tivax_version.h @ONLY)
target_include_directories(tivax PUBLIC $<BUILD_INTERFACE:${TIVAX_GENERATED_INCLUDE_DIR}>)

# ---- runtime -----------------------------------------------------------------
install(TARGETS tivax EXPORT tivaxTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime
    NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# A library put straight into the loader's directories is seen by programs
# only once ldconfig has refreshed its cache. Staged installs (DESTDIR, the
# packages) leave that to the package manager, which runs it by trigger.
install(CODE [[
  if("$ENV{DESTDIR}" STREQUAL "" AND CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/?$")
    find_program(tivax_ldconfig ldconfig PATHS /sbin /usr/sbin)
    execute_process(COMMAND id -u OUTPUT_VARIABLE tivax_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(tivax_ldconfig AND tivax_uid STREQUAL "0")
      message(STATUS "Running ldconfig")
      execute_process(COMMAND ${tivax_ldconfig})
    else()
      message(STATUS "Run ldconfig as root so that programs find libtivax.so.1")
    endif()
  endif()
]] COMPONENT runtime)

# ---- development -------------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/include/tivax.h
              ${TIVAX_GENERATED_INCLUDE_DIR}/tivax_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# pkg-config: tivax.pc is written at install time with the prefix installed
# to, in plain paths (includedir=${prefix}/include), so that pkg-config
# recognises the system directories and leaves them out of its flags.
function(tivax_pc_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
tivax_pc_path(TIVAX_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
tivax_pc_path(TIVAX_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(TIVAX_PC_INSTALLED ${PROJECT_BINARY_DIR}/generated/install/tivax.pc)
install(CODE "
  set(TIVAX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(TIVAX_PC_INCLUDEDIR [[${TIVAX_PC_INCLUDEDIR}]])
  set(TIVAX_PC_LIBDIR [[${TIVAX_PC_LIBDIR}]])
  set(PROJECT_VERSION ${PROJECT_VERSION})
  configure_file([[${PROJECT_SOURCE_DIR}/cmake/tivax.pc.in]] [[${TIVAX_PC_INSTALLED}]] @ONLY)
" COMPONENT development)
install(FILES ${TIVAX_PC_INSTALLED} DESTINATION ${TIVAX_PKGCONFIG_INSTALL_DIR} COMPONENT development)

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

# The client examples, ready to copy and build against the installed library.
set(TIVAX_EXAMPLES_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/doc/${TIVAX_PACKAGE_development}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/examples/c/consulta_status.c
              ${PROJECT_SOURCE_DIR}/examples/c/Makefile
              ${PROJECT_SOURCE_DIR}/examples/c/CMakeLists.txt
        DESTINATION ${TIVAX_EXAMPLES_INSTALL_DIR}/c COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/examples/python/consulta_status.py
        DESTINATION ${TIVAX_EXAMPLES_INSTALL_DIR}/python COMPONENT development)
# Documents to send: sales and a cancellation, and a network configuration.
install(FILES ${PROJECT_SOURCE_DIR}/examples/vendas/venda-minima.xml
              ${PROJECT_SOURCE_DIR}/examples/vendas/venda-completa.xml
              ${PROJECT_SOURCE_DIR}/examples/vendas/venda-500-itens.xml
              ${PROJECT_SOURCE_DIR}/examples/vendas/cancelamento.xml
        DESTINATION ${TIVAX_EXAMPLES_INSTALL_DIR}/vendas COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/examples/rede/configuracao-wifi.xml
        DESTINATION ${TIVAX_EXAMPLES_INSTALL_DIR}/rede COMPONENT development)

# ---- tools -------------------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-tivax.rules
        DESTINATION ${TIVAX_UDEV_RULES_DIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/tools/cli/tivax-completion.bash
        DESTINATION ${TIVAX_BASH_COMPLETION_DIR} RENAME tivax COMPONENT tools)

# The programs are defined under tools/, which is read after this file; their
# install rules are added once the whole tree has been read.
set(TIVAX_PROGRAM_tivax-cli tools)
set(TIVAX_PROGRAM_tivax-emulator tools)
set(TIVAX_PROGRAM_tivax-hub hub)
function(tivax_install_programs)
  foreach(program tivax-cli tivax-emulator tivax-hub)
    if(TARGET ${program})
      # The tools find the library beside them wherever the tree is installed.
      set_target_properties(${program} PROPERTIES
        INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
              COMPONENT ${TIVAX_PROGRAM_${program}})
    else()
      message(WARNING "${program} is not defined: the ${TIVAX_PROGRAM_${program}} component will lack it")
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL tivax_install_programs)

# ---- hub ---------------------------------------------------------------------
# The example configuration is what the package's postinst copies to
# /etc/tivax/hub.conf when there is none (with the hub's owner and mode 0600,
# since it holds the activation code): not a conffile.
# The unit names the program and the configuration under the prefix given
# when installing (cmake --install --prefix), which is known only then:
# /usr/bin and /etc for the packages, /usr/local/bin and /usr/local/etc for
# a make install under /usr/local.
set(TIVAX_HUB_UNIT ${PROJECT_BINARY_DIR}/generated/tivax-hub.service)
install(CODE "
  set(tivax_hub_bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(tivax_hub_sysconfdir \"\${CMAKE_INSTALL_PREFIX}/etc\")
  if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
    set(tivax_hub_sysconfdir /etc)
  endif()
  configure_file(\"${PROJECT_SOURCE_DIR}/tools/hub/tivax-hub.service\" \"${TIVAX_HUB_UNIT}\" @ONLY)
  " COMPONENT hub)
install(FILES ${TIVAX_HUB_UNIT} DESTINATION ${TIVAX_SYSTEMD_UNIT_DIR} COMPONENT hub)
install(FILES ${PROJECT_SOURCE_DIR}/tools/hub/hub.conf.exemplo
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TIVAX_PACKAGE_hub}/examples RENAME hub.conf
        COMPONENT hub)
# Alert rules for a chain's Prometheus, one hub per shop.
install(FILES ${PROJECT_SOURCE_DIR}/examples/prometheus/tivax-hub.rules.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TIVAX_PACKAGE_hub}/examples
        COMPONENT hub)

# ---- python ------------------------------------------------------------------
tivax_component_options(python_options python)
install(FILES ${PROJECT_SOURCE_DIR}/examples/python/tivax/__init__.py
              ${PROJECT_SOURCE_DIR}/examples/python/tivax/py.typed
        DESTINATION ${TIVAX_PYTHON_INSTALL_DIR}/tivax ${python_options})

# ---- manual pages, copyright and changelog -------------------------------------
# Manual pages and the changelog are installed compressed, as Debian wants
# them (gzip -9n: maximal and reproducible).
set(TIVAX_GENERATED_DOC_DIR ${PROJECT_BINARY_DIR}/generated/doc)
set(tivax_doc_outputs)
function(tivax_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9nc ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  set(tivax_doc_outputs ${tivax_doc_outputs} ${output} PARENT_SCOPE)
endfunction()

# name.section -> component
set(TIVAX_MANUAL_PAGES tivax.1 tivax-emulator.1 libtivax.3 tivax-hub.8)
set(TIVAX_MANUAL_tivax.1 tools)
set(TIVAX_MANUAL_tivax-emulator.1 tools)
set(TIVAX_MANUAL_libtivax.3 development)
set(TIVAX_MANUAL_tivax-hub.8 hub)
foreach(page ${TIVAX_MANUAL_PAGES})
  string(REGEX REPLACE ".*\\." "" section ${page})
  # The pages name the version they document.
  configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${TIVAX_GENERATED_DOC_DIR}/${page} @ONLY)
  tivax_gzip(${TIVAX_GENERATED_DOC_DIR}/${page} ${TIVAX_GENERATED_DOC_DIR}/${page}.gz)
  install(FILES ${TIVAX_GENERATED_DOC_DIR}/${page}.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${TIVAX_MANUAL_${page}})
endforeach()

# The changelog in Debian's format, from CHANGELOG.md.
set(TIVAX_PACKAGE_CONTACT "libtivax maintainers <maintainers@libtivax.invalid>" CACHE STRING
    "Maintainer written into the Debian packages and their changelog")
set(tivax_changelog ${TIVAX_GENERATED_DOC_DIR}/changelog)
add_custom_command(OUTPUT ${tivax_changelog}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DOUTPUT=${tivax_changelog}
          -DSOURCE=lib${PROJECT_NAME} -DVERSION=${PROJECT_VERSION} "-DMAINTAINER=${TIVAX_PACKAGE_CONTACT}"
          -P ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake VERBATIM)
tivax_gzip(${tivax_changelog} ${tivax_changelog}.gz)
add_custom_target(tivax_docs ALL DEPENDS ${tivax_doc_outputs})

foreach(component ${TIVAX_COMPONENTS})
  tivax_component_options(options ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${tivax_changelog}.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TIVAX_PACKAGE_${component}} ${options})
endforeach()
