# Runs one patch headless and compares what kivo prints with the expected
# output, line for line:
#
#   cmake -DKIVO=path/to/kivo -DDATA_DIR=tests/data -DCASE=name -P run_patch.cmake
#
# runs "kivo --nogui name.kivopat" in DATA_DIR and compares its exit status
# (0) and its standard output and standard error with expected/name.stdout
# and expected/name.stderr (a missing file means no output). "<N>" in an
# expected line stands for a whole number. The run gets a private home, so
# the user's own preferences are neither read nor written.
cmake_policy(SET CMP0007 NEW)

if(DEFINED ENV{TMPDIR} AND NOT "$ENV{TMPDIR}" STREQUAL "")
  set(tmp_base "$ENV{TMPDIR}")
else()
  set(tmp_base "/tmp")
endif()
string(RANDOM LENGTH 10 ALPHABET abcdefghijklmnopqrstuvwxyz0123456789 suffix)
set(home_root "${tmp_base}/kivo-patch-home-${suffix}")
foreach(sub home config data cache tmp)
  file(MAKE_DIRECTORY "${home_root}/${sub}")
endforeach()

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
    HOME=${home_root}/home XDG_CONFIG_HOME=${home_root}/config XDG_DATA_HOME=${home_root}/data
    XDG_CACHE_HOME=${home_root}/cache TMPDIR=${home_root}/tmp
    ${KIVO} --nogui ${CASE}.kivopat
  WORKING_DIRECTORY ${DATA_DIR}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
  TIMEOUT 30)
file(REMOVE_RECURSE "${home_root}")

set(failures "")
if(NOT rc STREQUAL "0")
  set(failures "exit status ${rc}, want 0\n")
endif()

foreach(stream stdout stderr)
  set(want "")
  if(EXISTS ${DATA_DIR}/expected/${CASE}.${stream})
    file(READ ${DATA_DIR}/expected/${CASE}.${stream} want)
  endif()
  if(stream STREQUAL "stdout")
    set(got "${out}")
  else()
    set(got "${err}")
  endif()
  # Square brackets and semicolons would change how a list splits.
  foreach(v got want)
    string(REPLACE "[" "<LB>" safe "${${v}}")
    string(REPLACE "]" "<RB>" safe "${safe}")
    string(REPLACE ";" "<SC>" safe "${safe}")
    string(REPLACE "\n" ";" ${v}_lines "${safe}")
  endforeach()
  list(LENGTH got_lines ng)
  list(LENGTH want_lines nw)
  set(ok TRUE)
  if(NOT ng EQUAL nw)
    set(ok FALSE)
  elseif(nw GREATER 0)
    math(EXPR last "${nw} - 1")
    foreach(i RANGE ${last})
      list(GET got_lines ${i} g)
      list(GET want_lines ${i} w)
      string(REGEX REPLACE "([.*+?^$()|\\\\])" "\\\\\\1" pattern "${w}")
      string(REPLACE "<N>" "[0-9]+" pattern "${pattern}")
      if(NOT g MATCHES "^${pattern}$")
        set(ok FALSE)
      endif()
    endforeach()
  endif()
  if(NOT ok)
    string(APPEND failures "${stream} differs\nwant:\n${want}\ngot:\n${got}\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "[${CASE}] ${failures}")
endif()
