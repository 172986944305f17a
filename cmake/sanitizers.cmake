# SPDX-License-Identifier: MIT
# Instrumented builds beyond the root's TIVAX_SANITIZE (AddressSanitizer
# with UndefinedBehaviorSanitizer):
#   TIVAX_SANITIZE_THREAD  ThreadSanitizer, for the concurrency and
#                          end-to-end tests (not together with TIVAX_SANITIZE)
#   TIVAX_FUZZ             coverage instrumentation for libFuzzer (clang
#                          only); tests/fuzz then builds libFuzzer programs
# Included from the root list, or injected into a configure with
#   -DCMAKE_PROJECT_INCLUDE=<source>/cmake/sanitizers.cmake
include_guard(GLOBAL)

option(TIVAX_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
option(TIVAX_FUZZ "Build the fuzz targets as libFuzzer programs (clang)" OFF)

if(TIVAX_SANITIZE_THREAD)
  if(TIVAX_SANITIZE)
    message(FATAL_ERROR "TIVAX_SANITIZE_THREAD cannot be combined with TIVAX_SANITIZE")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(TIVAX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TIVAX_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  # Coverage for the whole library; only the fuzz programs link the
  # libFuzzer driver (-fsanitize=fuzzer, in tests/fuzz).
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
