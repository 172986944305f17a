# SPDX-License-Identifier: MIT
# Read by cpack before it builds the packages (CPACK_PROJECT_CONFIG_FILE).
# The runtime package's dependencies come from dpkg-shlibdeps run here on the
# built library, not by CPack itself, which would then also write ldconfig
# calls into its maintainer scripts (the package's trigger does that).
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_TIVAX_SHLIBDEPS AND NOT CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS)
  set(tivax_dir "${CPACK_PACKAGE_DIRECTORY}/_tivax_shlibdeps")
  # dpkg-shlibdeps wants to run in a source tree: an empty control file is one.
  file(MAKE_DIRECTORY "${tivax_dir}/debian")
  file(WRITE "${tivax_dir}/debian/control" "")
  execute_process(COMMAND "${CPACK_TIVAX_SHLIBDEPS}" -O "${CPACK_TIVAX_RUNTIME_LIBRARY}"
    WORKING_DIRECTORY "${tivax_dir}"
    RESULT_VARIABLE tivax_failed OUTPUT_VARIABLE tivax_out ERROR_VARIABLE tivax_err)
  file(REMOVE_RECURSE "${tivax_dir}")
  if(tivax_failed OR NOT tivax_out MATCHES "shlibs:Depends=([^\n]*)")
    message(FATAL_ERROR "dpkg-shlibdeps on ${CPACK_TIVAX_RUNTIME_LIBRARY} failed: ${tivax_err}")
  endif()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
