# SPDX-License-Identifier: MIT
# Writes CHANGELOG.md in the format of a Debian changelog, which is what the
# packages carry as /usr/share/doc/<package>/changelog.gz.
#
#   cmake -DINPUT=CHANGELOG.md -DOUTPUT=changelog -DSOURCE=name -DVERSION=x.y.z
#         -DMAINTAINER="Name <address>" -P debian_changelog.cmake
#
# CHANGELOG.md: a heading "## VERSION (YYYY-MM-DD)" per release, newest
# first, each followed by items starting with "- " and continued on lines
# indented by two spaces; any other line is left out.
foreach(var INPUT OUTPUT SOURCE VERSION MAINTAINER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "debian_changelog.cmake: ${var} is not set")
  endif()
endforeach()

file(STRINGS ${INPUT} lines ENCODING UTF-8)
set(text "")
set(entry_trailer "")
set(newest "")

# RFC 2822 date of a release day, as the changelog's trailer line wants it.
function(release_date out day)
  execute_process(COMMAND date -u -R -d "${day}" OUTPUT_VARIABLE date RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed)
    message(FATAL_ERROR "${INPUT}: not a date: ${day}")
  endif()
  set(${out} "${date}" PARENT_SCOPE)
endfunction()

foreach(line IN LISTS lines)
  if(line MATCHES "^## ([0-9][0-9A-Za-z.+~-]*) \\(([0-9]+-[0-9]+-[0-9]+)\\)$")
    set(version ${CMAKE_MATCH_1})
    release_date(date ${CMAKE_MATCH_2})
    if(newest STREQUAL "")
      set(newest ${version})
    endif()
    string(APPEND text "${entry_trailer}${SOURCE} (${version}) unstable; urgency=medium\n\n")
    set(entry_trailer "\n -- ${MAINTAINER}  ${date}\n\n")
  elseif(line MATCHES "^- (.*)$" AND NOT entry_trailer STREQUAL "")
    string(APPEND text "  * ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  ([^ ].*)$" AND NOT entry_trailer STREQUAL "")
    string(APPEND text "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()

# The packages of this version must find their release in it.
if(NOT newest STREQUAL VERSION)
  message(FATAL_ERROR "${INPUT}: the newest release is '${newest}', the project's version is ${VERSION}: "
                      "add a heading \"## ${VERSION} (YYYY-MM-DD)\" with its changes")
endif()
string(REGEX REPLACE "\n\n$" "\n" text "${text}${entry_trailer}")
file(WRITE ${OUTPUT} "${text}")
