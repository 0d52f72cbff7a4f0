# Headless runs of the kivo executable: each case runs kivo in
# expected/files and compares its exit status, standard output and standard
# error with expected/<case>.stdout and expected/<case>.stderr (a missing
# file means no output), line for line. "<N>" in an expected line stands
# for a whole number.
#
#   cmake -DKIVO=path/to/kivo -DEXPECT_DIR=.../expected -P run_nogui.cmake

cmake_policy(SET CMP0007 NEW)
include(${CMAKE_CURRENT_LIST_DIR}/../support/headless_run.cmake)
set(failures "")

# Every run gets a private home ($HOME, the XDG folders, $TMPDIR), so that
# the user's own preferences are neither read nor written; it is removed at
# the end. With KIVO_TEST_KEEP_HOME set the runs keep the caller's home.
set(home_env "")
set(home_root "")
if(NOT DEFINED ENV{KIVO_TEST_KEEP_HOME})
  kivo_private_home(kivo-nogui-home home_root)
  set(home_env
    HOME=${home_root}/home
    XDG_CONFIG_HOME=${home_root}/config
    XDG_DATA_HOME=${home_root}/data
    XDG_CACHE_HOME=${home_root}/cache
    TMPDIR=${home_root}/tmp)
endif()

function(compare_lines case stream got)
  set(file ${EXPECT_DIR}/${case}.${stream})
  set(want "")
  if(EXISTS ${file})
    file(READ ${file} want)
  endif()
  kivo_lines_match("${got}" "${want}" ok)
  if(NOT ok)
    set(failures "${failures}\n[${case}] ${stream} differs\nwant:\n${want}\ngot:\n${got}" PARENT_SCOPE)
  endif()
endfunction()

# run_case(NAME STATUS [NODISPLAY|DEADDISPLAY] ARGS...)
function(run_case case status)
  set(args ${ARGN})
  set(display "")
  list(GET args 0 first)
  if(first STREQUAL "NODISPLAY")
    list(REMOVE_AT args 0)
    set(display --unset=DISPLAY --unset=WAYLAND_DISPLAY)
  elseif(first STREQUAL "DEADDISPLAY")
    # A display is named but nothing answers there: not a headless run, so
    # only the timeout ends it.
    list(REMOVE_AT args 0)
    set(display --unset=WAYLAND_DISPLAY DISPLAY=:9999)
  endif()
  set(prefix ${CMAKE_COMMAND} -E env ${display} ${home_env})
  execute_process(COMMAND ${prefix} ${KIVO} ${args}
    WORKING_DIRECTORY ${EXPECT_DIR}/files
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
    TIMEOUT 30)
  if(NOT rc STREQUAL "${status}")
    set(failures "${failures}\n[${case}] exit status ${rc}, want ${status}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
  compare_lines(${case} stdout "${out}")
  compare_lines(${case} stderr "${err}")
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

# Start-up alone: ends once nothing is pending.
run_case(nogui 0 --nogui)
# Quits through the application object.
run_case(quit 0 --nogui --eval "kivo quit")
# Without a display it runs as with --nogui and says so.
run_case(nodisplay 0 NODISPLAY --eval "kivo quit")
# The application object answers messages given as text.
run_case(eval 0 --nogui --eval "kivo debug 1" --eval "kivo size")
# Message-text files open in command-line order, before the evaluations;
# the remote-call arguments end processing; dash words are skipped.
run_case(files 0 --nogui -psn_0_12345 --unknown size.txt debug.txt /sms 7400 missing.txt
  --eval "kivo quit")
# The timeout ends a run that is not headless.
run_case(timeout 0 DEADDISPLAY --timeout 0.2 --eval "kivo debug 1")
# Files that cannot be opened: reported, status 1; a patcher opens.
run_case(nofile 1 --nogui missing.kivopat)
run_case(patcher 0 --nogui patcher.kivopat)
# Unusable options: status 2 and the usage.
run_case(badtimeout 2 --nogui --timeout soon)
run_case(noeval 2 --nogui --eval)

if(home_root)
  file(REMOVE_RECURSE "${home_root}")
endif()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
