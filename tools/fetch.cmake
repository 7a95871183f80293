# Fetches what an http or https address holds, for the release tools, which
# have no other way to fetch on a machine that has CMake:
#   cmake -D url=URL -D file=FILE -P tools/fetch.cmake
# On failure it says why on standard error, in curl's words, and writes
# nothing.
if(NOT url MATCHES "^https?://")
  message(FATAL_ERROR "not an http or https address")
endif()
file(DOWNLOAD "${url}" "${file}.part" STATUS status
  TIMEOUT 60 INACTIVITY_TIMEOUT 15)
list(GET status 0 code)
if(NOT code EQUAL 0)
  file(REMOVE "${file}.part")
  list(GET status 1 why)
  message(FATAL_ERROR "${why}")
endif()
file(RENAME "${file}.part" "${file}")
