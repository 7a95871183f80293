# How the release is made: the moment it carries, the notices of the linked
# libraries, what goes into the zip, and the record of how it was built. Any
# clean build of one commit with one toolchain gives the same bytes, whoever
# builds it, wherever and whenever.

include(GNUInstallDirs)

# The commit the tree holds, which the record of the build names, and its
# time: git archive writes both into the placeholder below (see
# .gitattributes), and a clone reads them from git. tools/verify-release.sh
# reads the line as it stands, too.
set(archived_commit "$Format:%H %ct$")
set(commit_id -)  # for a tree that names none
set(commit_time "")
if(archived_commit MATCHES "^([0-9a-f]+) ([0-9]+)$")
  set(commit_id ${CMAKE_MATCH_1})
  set(commit_time ${CMAKE_MATCH_2})
elseif(EXISTS "${PROJECT_SOURCE_DIR}/.git")
  find_program(GIT_EXECUTABLE git)
  if(GIT_EXECUTABLE)
    # A tree that belongs to another user, such as one mounted into a
    # container, fails git's ownership check. Trusting this one tree, for
    # this one call, trusts no more than building it does. git compares the
    # path with the one it finds, with symbolic links resolved.
    file(REAL_PATH "${PROJECT_SOURCE_DIR}" source_tree)
    execute_process(
      COMMAND "${GIT_EXECUTABLE}" -c "safe.directory=${source_tree}"
        log -1 "--format=%H %ct"
      WORKING_DIRECTORY "${source_tree}"
      OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
      COMMAND_ERROR_IS_FATAL ANY)
    string(REPLACE " " ";" commit "${commit}")
    list(GET commit 0 commit_id)
    list(GET commit 1 commit_time)
  elseif(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    # Kept short enough that CMake prints it on one line.
    message(FATAL_ERROR
      "git is needed to read the commit's time; without it, set SOURCE_DATE_EPOCH")
  endif()
endif()

# What is shipped carries one moment, never the time of the build: the
# builder's SOURCE_DATE_EPOCH; else the commit's time; else 1980-01-01 00:00
# UTC, the earliest a zip can hold, for a tree that carries no commit.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(source_date_origin SOURCE_DATE_EPOCH)
elseif(commit_time)
  set(source_date_epoch ${commit_time})
  set(source_date_origin commit)
else()
  set(source_date_epoch 315532800)
  set(source_date_origin fallback)
endif()
if(NOT source_date_epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR
    "SOURCE_DATE_EPOCH must be a count of seconds, not '${source_date_epoch}'")
endif()

if(WIN32)
  # The linker stamps the PE header with SOURCE_DATE_EPOCH when it is set,
  # and with the current time when it is not.
  set_target_properties(veltrin-backend PROPERTIES CXX_LINKER_LAUNCHER
    "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${source_date_epoch}")

  # The link map names the toolchain libraries linked in, whose licences ask
  # for their notices to travel with the exe.
  target_link_options(veltrin-backend PRIVATE
    "LINKER:-Map=${CMAKE_CURRENT_BINARY_DIR}/veltrin-backend.map")
  add_custom_command(OUTPUT THIRD-PARTY-NOTICES.txt
    COMMAND sh ${PROJECT_SOURCE_DIR}/tools/third-party-notices.sh
      veltrin-backend.exe veltrin-backend.map THIRD-PARTY-NOTICES.txt
    DEPENDS veltrin-backend ${PROJECT_SOURCE_DIR}/tools/third-party-notices.sh
    VERBATIM)
  add_custom_target(third-party-notices ALL DEPENDS THIRD-PARTY-NOTICES.txt)

  # The linker writes its exe into unsigned/. The exe that is tested and
  # shipped is made from it on every build, with the detached signature that
  # VELTRIN_SIGNATURE names at that moment attached, or without one.
  set(release_name ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
  set(shipped_program ${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}.exe)
  set_target_properties(veltrin-backend PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/unsigned)
  add_custom_target(shipped-exe ALL
    COMMAND sh tools/attach-signature.sh $<TARGET_FILE:veltrin-backend>
      ${shipped_program} ${CMAKE_CURRENT_BINARY_DIR}/${release_name}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    BYPRODUCTS ${shipped_program}
    VERBATIM)
  add_dependencies(shipped-exe veltrin-backend)

  # The zip is unpacked and run where it lands: the exe beside its README.
  install(PROGRAMS ${shipped_program} DESTINATION .)
  install(FILES README.md ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt
    DESTINATION .)
else()
  set(shipped_program $<TARGET_FILE:veltrin-backend>)
  install(TARGETS veltrin-backend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Read by cpack before it writes the zip. The entries' times come from
# SOURCE_DATE_EPOCH, and a zip stores them as local time, so the zone is
# pinned too.
file(CONFIGURE OUTPUT package-time.cmake @ONLY CONTENT [[
set(ENV{SOURCE_DATE_EPOCH} @source_date_epoch@)
set(ENV{TZ} UTC0)
]])
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/package-time.cmake)

if(WIN32)
  # Run by cpack once the zip is written, before it copies the zip out and
  # writes its checksum. Each entry of the zip records the numeric user and
  # group of the builder, which CPack offers no way to set: they are zeroed,
  # and every time in the zip is set to the moment again. Then the record of
  # the build is written beside the zip, with the sums of what it ships and,
  # where the exe is signed, of the signature attached to it.
  set(CPACK_PACKAGE_FILE_NAME ${release_name})
  find_program(STRIP_NONDETERMINISM strip-nondeterminism REQUIRED)
  file(CONFIGURE OUTPUT finish-package.cmake @ONLY CONTENT [[
execute_process(
  COMMAND "@STRIP_NONDETERMINISM@" --type zip --timestamp @source_date_epoch@
    ${CPACK_PACKAGE_FILES}
  COMMAND_ERROR_IS_FATAL ANY)
set(release "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}")
set(signature "")
if(EXISTS "${release}.signature")
  set(signature "${release}.signature")
endif()
execute_process(
  COMMAND sh "@PROJECT_SOURCE_DIR@/tools/buildinfo.sh" "${release}.buildinfo"
    @PROJECT_NAME@ @PROJECT_VERSION@ @source_date_epoch@ @source_date_origin@
    @commit_id@ ${CPACK_PACKAGE_FILES}
    "${CPACK_TEMPORARY_DIRECTORY}/@PROJECT_NAME@.exe"
    "${CPACK_TEMPORARY_DIRECTORY}/THIRD-PARTY-NOTICES.txt" ${signature}
  COMMAND_ERROR_IS_FATAL ANY)
]])
  set(CPACK_POST_BUILD_SCRIPTS
    ${CMAKE_CURRENT_BINARY_DIR}/finish-package.cmake)
endif()
include(CPack)
