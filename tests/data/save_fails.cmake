# Saves that cannot write must fail and leave what was there as it was:
#
#   cmake -DKIVO=path/to/kivo -DDATA_DIR=tests/data -P save_fails.cmake
#
# "kivo --nogui --saveas TARGET print.kivopat" is run where TARGET is
#  - a file in a folder without write permission (not checked as root,
#    for whom permissions are not enforced), and
#  - a name taken by a folder, which no file can replace;
# each run must exit with status 1 and report the failed write, and the
# old file or folder must be untouched with nothing left beside it.
cmake_policy(SET CMP0007 NEW)
include(${CMAKE_CURRENT_LIST_DIR}/../support/headless_run.cmake)
cmake_policy(SET CMP0054 NEW)

kivo_private_home(kivo-save-home home_root work)
set(work "${home_root}/work")
kivo_headless_env(${home_root} env_cmd)
file(COPY ${DATA_DIR}/print.kivopat DESTINATION "${work}")
set(failures "")

function(save_must_fail target folder)
  file(GLOB before RELATIVE "${folder}" "${folder}/*")
  execute_process(
    COMMAND ${env_cmd} ${KIVO} --nogui --saveas ${target} print.kivopat
    WORKING_DIRECTORY ${work}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
    TIMEOUT 30)
  if(NOT rc STREQUAL "1")
    string(APPEND failures "${target}: exit status ${rc}, want 1\n")
  endif()
  if(NOT "${out}${err}" MATCHES "jpatcher_saveto: error -?[0-9]+ writing ")
    string(APPEND failures "${target}: no error reported\n${out}${err}\n")
  endif()
  file(GLOB after RELATIVE "${folder}" "${folder}/*")
  if(NOT before STREQUAL after)
    string(APPEND failures "${target}: the folder held ${before}, now ${after}\n")
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

# A folder in the way of the file.
file(MAKE_DIRECTORY "${work}/taken.kivopat")
file(WRITE "${work}/taken.kivopat/inside" "kept")
save_must_fail(taken.kivopat "${work}")
file(READ "${work}/taken.kivopat/inside" inside)
if(NOT inside STREQUAL "kept" OR NOT IS_DIRECTORY "${work}/taken.kivopat")
  string(APPEND failures "the folder in the way was changed\n")
endif()

# A folder that cannot be written.
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT uid STREQUAL "0")
  file(MAKE_DIRECTORY "${work}/locked")
  file(WRITE "${work}/locked/old.kivopat" "the old patch")
  file(CHMOD "${work}/locked" PERMISSIONS OWNER_READ OWNER_EXECUTE)
  save_must_fail(locked/old.kivopat "${work}/locked")
  file(READ "${work}/locked/old.kivopat" old)
  if(NOT old STREQUAL "the old patch")
    string(APPEND failures "the old file changed: ${old}\n")
  endif()
  file(CHMOD "${work}/locked" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endif()

file(REMOVE_RECURSE "${home_root}")
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
