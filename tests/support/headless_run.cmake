# Helpers of the headless test runs.
#
# A private home for a run ($HOME, the XDG folders, $TMPDIR and any
# further folders named), so that the user's own preferences are neither
# read nor written. Sets OUT_VAR to its root, which the caller removes.
#
#   kivo_private_home(kivo-patch-home home_root [work ...])
function(kivo_private_home prefix out_var)
  if(DEFINED ENV{TMPDIR} AND NOT "$ENV{TMPDIR}" STREQUAL "")
    set(tmp_base "$ENV{TMPDIR}")
  else()
    set(tmp_base "/tmp")
  endif()
  string(RANDOM LENGTH 10 ALPHABET abcdefghijklmnopqrstuvwxyz0123456789 suffix)
  set(root "${tmp_base}/${prefix}-${suffix}")
  foreach(sub home config data cache tmp ${ARGN})
    file(MAKE_DIRECTORY "${root}/${sub}")
  endforeach()
  set(${out_var} "${root}" PARENT_SCOPE)
endfunction()

# Sets OUT_VAR to the command prefix that runs a program without a display
# and with the private home ROOT (from kivo_private_home).
#
#   kivo_headless_env(${home_root} env_cmd)
function(kivo_headless_env root out_var)
  set(${out_var} ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
    HOME=${root}/home XDG_CONFIG_HOME=${root}/config XDG_DATA_HOME=${root}/data
    XDG_CACHE_HOME=${root}/cache TMPDIR=${root}/tmp PARENT_SCOPE)
endfunction()

# Sets OUT_VAR to TRUE when the text GOT has as many lines as WANT and each
# line matches: literally, except that "<N>" stands for a whole number.
function(kivo_lines_match got want out_var)
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
  set(${out_var} ${ok} PARENT_SCOPE)
endfunction()
