# The commit that the tree holds and the source date epoch that its release carries,
# for the build (included by release.cmake) and for the release tools, which
# run it as a script: cmake -P cmake/source-date.cmake prints
# "COMMIT EPOCH ORIGIN", with - for a tree that names no commit.
#
# The commit and its time: git archive writes both into the placeholder
# below (see .gitattributes), and a clone reads them from git.
set(archived_commit "$Format:%H %ct$")
set(commit_id -)
set(commit_time "")
if(archived_commit MATCHES "^([0-9a-f]+) ([0-9]+)$")
  set(commit_id ${CMAKE_MATCH_1})
  set(commit_time ${CMAKE_MATCH_2})
elseif(EXISTS "${CMAKE_CURRENT_LIST_DIR}/../.git")
  find_program(GIT_EXECUTABLE git)
  if(GIT_EXECUTABLE)
    # A tree that belongs to another user, such as one mounted into a
    # container, fails git's ownership check. Trusting this one tree, for
    # this one call, trusts no more than building it does. git compares the
    # path with the one it finds, with symbolic links resolved.
    file(REAL_PATH "${CMAKE_CURRENT_LIST_DIR}/.." source_tree)
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

# What is shipped carries one date, never the time of the build: the
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

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo
    "${commit_id} ${source_date_epoch} ${source_date_origin}")
endif()
