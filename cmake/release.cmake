# How the release is made, byte for byte the same for one commit and
# toolchain: docs/release.md.

include(GNUInstallDirs)

include(${CMAKE_CURRENT_LIST_DIR}/source-date.cmake)
# The release tools read the release's facts from the cache.
set(RELEASE_COMMIT ${commit_id} CACHE INTERNAL "the commit built, or -")
set(RELEASE_SOURCE_DATE_EPOCH ${source_date_epoch} CACHE INTERNAL "the release's date")
set(RELEASE_SOURCE_DATE_ORIGIN ${source_date_origin} CACHE INTERNAL
  "where the release's date came from")

if(WIN32)
  # Debian's own Python sees the packages Debian installs, whatever python3
  # PATH finds first.
  find_program(DEBIAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
  set(package_step ${DEBIAN_PYTHON} -B ${PROJECT_SOURCE_DIR}/tools/package.py)
  execute_process(
    COMMAND ${DEBIAN_PYTHON} ${PROJECT_SOURCE_DIR}/tools/release/layout.py
      ${PROJECT_NAME} ${PROJECT_VERSION}
    OUTPUT_VARIABLE release_name OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)

  # The linker stamps the PE header with SOURCE_DATE_EPOCH when it is set,
  # and with the current time when it is not.
  set_target_properties(veltrin-backend PROPERTIES CXX_LINKER_LAUNCHER
    "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${source_date_epoch}")

  # The link map and the compilers' dependency files name the toolchain's
  # files in the exe, whose licences ask for their notices to travel with it.
  target_link_options(veltrin-backend PRIVATE
    "LINKER:-Map=${CMAKE_CURRENT_BINARY_DIR}/veltrin-backend.map")
  set(resource_depfile ${CMAKE_CURRENT_BINARY_DIR}/veltrin-backend.rc.d)
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/veltrin-backend.rc
    PROPERTIES COMPILE_OPTIONS
    "--preprocessor-arg=-MD;--preprocessor-arg=-MF;--preprocessor-arg=${resource_depfile}")
  add_custom_command(OUTPUT components.json THIRD-PARTY-NOTICES.txt
    COMMAND ${package_step} notices veltrin-backend.map ${PROJECT_NAME}
      components.json THIRD-PARTY-NOTICES.txt
      --objects $<TARGET_OBJECTS:veltrin-backend> ${resource_depfile}
      --own ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
    DEPENDS veltrin-backend ${PROJECT_SOURCE_DIR}/tools/package.py
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(third-party-notices ALL DEPENDS THIRD-PARTY-NOTICES.txt)

  # The exe that is tested and shipped is made from the linker's, in
  # unsigned/, on every build, so that a change of VELTRIN_SIGNATURE counts.
  set(shipped_program ${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}.exe)
  set_target_properties(veltrin-backend PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/unsigned)
  add_custom_target(shipped-exe ALL
    COMMAND ${package_step} attach $<TARGET_FILE:veltrin-backend>
      ${shipped_program} ${CMAKE_CURRENT_BINARY_DIR}/${release_name}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    BYPRODUCTS ${shipped_program}
    VERBATIM)
  add_dependencies(shipped-exe veltrin-backend)

  # The zip is unpacked and run where it lands: the exe beside its README.
  install(PROGRAMS ${shipped_program} DESTINATION .)
  install(FILES README.md ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt
    DESTINATION .)

  # Run by cpack once the zip is written, before it copies the zip out and
  # writes its checksum. Each entry records the builder's user and group,
  # which CPack cannot set: strip-nondeterminism zeroes them.
  set(CPACK_PACKAGE_FILE_NAME ${release_name})
  find_program(STRIP_NONDETERMINISM strip-nondeterminism REQUIRED)
  file(CONFIGURE OUTPUT finish-package.cmake @ONLY CONTENT [[
execute_process(
  COMMAND "@STRIP_NONDETERMINISM@" --type zip --timestamp @source_date_epoch@
    ${CPACK_PACKAGE_FILES}
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  COMMAND "@DEBIAN_PYTHON@" -B "@PROJECT_SOURCE_DIR@/tools/package.py" finish
    "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}" ${CPACK_PACKAGE_FILES}
    "${CPACK_TEMPORARY_DIRECTORY}" "@CMAKE_CURRENT_BINARY_DIR@"
  COMMAND_ERROR_IS_FATAL ANY)
]])
  set(CPACK_POST_BUILD_SCRIPTS
    ${CMAKE_CURRENT_BINARY_DIR}/finish-package.cmake)
else()
  set(shipped_program $<TARGET_FILE:veltrin-backend>)
  install(TARGETS veltrin-backend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Read by cpack before it writes the zip: its entries' times come from
# SOURCE_DATE_EPOCH, and a zip stores local times, so the zone is pinned.
file(CONFIGURE OUTPUT package-time.cmake @ONLY CONTENT [[
set(ENV{SOURCE_DATE_EPOCH} @source_date_epoch@)
set(ENV{TZ} UTC0)
]])
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/package-time.cmake)
include(CPack)
