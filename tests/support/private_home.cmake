# A private home for a headless run ($HOME, the XDG folders, $TMPDIR and any
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
