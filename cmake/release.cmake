# How the release is made: the moment it carries, the notices of the linked
# libraries, what goes into the zip, and the record of how it was built. Any
# clean build of one commit with one toolchain gives the same bytes, whoever
# builds it, wherever and whenever.

include(GNUInstallDirs)

include(${CMAKE_CURRENT_LIST_DIR}/moment.cmake)

if(WIN32)
  # The linker stamps the PE header with SOURCE_DATE_EPOCH when it is set,
  # and with the current time when it is not.
  set_target_properties(veltrin-backend PROPERTIES CXX_LINKER_LAUNCHER
    "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${source_date_epoch}")

  # The link map names the toolchain libraries linked in, whose licences ask
  # for their notices to travel with the exe. It is read once, into the
  # list that both the notices and the bill of materials are made from.
  target_link_options(veltrin-backend PRIVATE
    "LINKER:-Map=${CMAKE_CURRENT_BINARY_DIR}/veltrin-backend.map")
  add_custom_command(OUTPUT linked-files.txt
    COMMAND sh ${PROJECT_SOURCE_DIR}/tools/linked-files.sh
      veltrin-backend.map linked-files.txt
    DEPENDS veltrin-backend ${PROJECT_SOURCE_DIR}/tools/linked-files.sh
    VERBATIM)
  add_custom_command(OUTPUT THIRD-PARTY-NOTICES.txt
    COMMAND sh ${PROJECT_SOURCE_DIR}/tools/third-party-notices.sh
      veltrin-backend.exe linked-files.txt THIRD-PARTY-NOTICES.txt
    DEPENDS linked-files.txt ${PROJECT_SOURCE_DIR}/tools/third-party-notices.sh
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
  # and every time in the zip is set to the moment again. Then the bill of
  # materials, of the exe as shipped, and the record of the build are
  # written beside the zip, the record with the sums of what the release
  # ships and, where the exe is signed, of the signature attached to it.
  set(CPACK_PACKAGE_FILE_NAME ${release_name})
  find_program(STRIP_NONDETERMINISM strip-nondeterminism REQUIRED)
  file(CONFIGURE OUTPUT finish-package.cmake @ONLY CONTENT [[
execute_process(
  COMMAND "@STRIP_NONDETERMINISM@" --type zip --timestamp @source_date_epoch@
    ${CPACK_PACKAGE_FILES}
  COMMAND_ERROR_IS_FATAL ANY)
set(release "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}")
set(shipped "${CPACK_TEMPORARY_DIRECTORY}")
execute_process(
  COMMAND sh "@PROJECT_SOURCE_DIR@/tools/sbom.sh" "${release}.cdx.json"
    @PROJECT_NAME@ @PROJECT_VERSION@ "@PROJECT_DESCRIPTION@" @PROJECT_LICENSE@
    @source_date_epoch@ "${shipped}/@PROJECT_NAME@.exe"
    "@CMAKE_CURRENT_BINARY_DIR@/linked-files.txt"
  COMMAND_ERROR_IS_FATAL ANY)
set(signature "")
if(EXISTS "${release}.signature")
  set(signature "${release}.signature")
endif()
execute_process(
  COMMAND sh "@PROJECT_SOURCE_DIR@/tools/buildinfo.sh" "${release}.buildinfo"
    @PROJECT_NAME@ @PROJECT_VERSION@ @source_date_epoch@ @source_date_origin@
    @commit_id@ ${CPACK_PACKAGE_FILES} "${shipped}/@PROJECT_NAME@.exe"
    "${shipped}/THIRD-PARTY-NOTICES.txt" "${release}.cdx.json" ${signature}
  COMMAND_ERROR_IS_FATAL ANY)
]])
  set(CPACK_POST_BUILD_SCRIPTS
    ${CMAKE_CURRENT_BINARY_DIR}/finish-package.cmake)
endif()
include(CPack)
