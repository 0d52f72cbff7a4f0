# Runs one patch headless and compares what kivo prints with the expected
# output, line for line:
#
#   cmake -DKIVO=path/to/kivo -DDATA_DIR=tests/data -DCASE=name -P run_patch.cmake
#
# runs "kivo --nogui name.kivopat" in DATA_DIR and compares its exit status
# (0) and its standard output and standard error with expected/name.stdout
# and expected/name.stderr (a missing file means no output). -DFILE=other
# runs that file (message text, say) instead of name.kivopat. "<N>" in an
# expected line stands for a whole number. The run gets a private home, so
# the user's own preferences are neither read nor written.
#
# With -DROUNDTRIP=1 the patches are copied to a scratch folder and the case
# is first saved over itself ("kivo --nogui --saveas name.kivopat
# name.kivopat") twice: both saves must succeed and write the same text, and
# the saved patch must then print what the original prints, or what
# expected/name.saved.stdout and .stderr say where they differ (cords that
# were dropped on reading are not saved, so their errors go). -DSAVED_MATCHES
# lists regular expressions that the saved text must contain.
cmake_policy(SET CMP0007 NEW)
include(${CMAKE_CURRENT_LIST_DIR}/../support/headless_run.cmake)

kivo_private_home(kivo-patch-home home_root)

kivo_headless_env(${home_root} env_cmd)
set(failures "")
set(run_dir ${DATA_DIR})

if(ROUNDTRIP)
  set(run_dir "${home_root}/work")
  file(MAKE_DIRECTORY "${run_dir}")
  file(GLOB patches ${DATA_DIR}/*.kivopat)
  file(COPY ${patches} DESTINATION "${run_dir}")
  foreach(pass 1 2)
    execute_process(
      COMMAND ${env_cmd} ${KIVO} --nogui --saveas ${CASE}.kivopat ${CASE}.kivopat
      WORKING_DIRECTORY ${run_dir}
      OUTPUT_VARIABLE save_out ERROR_VARIABLE save_err RESULT_VARIABLE save_rc
      TIMEOUT 30)
    if(NOT save_rc STREQUAL "0")
      string(APPEND failures "save ${pass}: exit status ${save_rc}, want 0\n${save_err}\n")
    endif()
    file(READ "${run_dir}/${CASE}.kivopat" saved_${pass})
  endforeach()
  if(NOT saved_1 STREQUAL saved_2)
    string(APPEND failures "saving the saved patch changed it\nfirst:\n${saved_1}\nsecond:\n${saved_2}\n")
  endif()
  foreach(re ${SAVED_MATCHES})
    if(NOT saved_1 MATCHES "${re}")
      string(APPEND failures "the saved patch lacks ${re}\n")
    endif()
  endforeach()
endif()

if(NOT FILE)
  set(FILE ${CASE}.kivopat)
endif()
execute_process(
  COMMAND ${env_cmd} ${KIVO} --nogui ${FILE}
  WORKING_DIRECTORY ${run_dir}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
  TIMEOUT 30)
file(REMOVE_RECURSE "${home_root}")

if(NOT rc STREQUAL "0")
  string(APPEND failures "exit status ${rc}, want 0\n")
endif()

foreach(stream stdout stderr)
  set(want "")
  if(ROUNDTRIP AND EXISTS ${DATA_DIR}/expected/${CASE}.saved.${stream})
    file(READ ${DATA_DIR}/expected/${CASE}.saved.${stream} want)
  elseif(EXISTS ${DATA_DIR}/expected/${CASE}.${stream})
    file(READ ${DATA_DIR}/expected/${CASE}.${stream} want)
  endif()
  if(stream STREQUAL "stdout")
    set(got "${out}")
  else()
    set(got "${err}")
  endif()
  kivo_lines_match("${got}" "${want}" ok)
  if(NOT ok)
    string(APPEND failures "${stream} differs\nwant:\n${want}\ngot:\n${got}\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "[${CASE}] ${failures}")
endif()
