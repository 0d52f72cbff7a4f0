# A patcher that writes its own file updates every box made from that file:
#
#   cmake -DKIVO=path/to/kivo -DDATA_DIR=tests/data -P save_update.cmake
#
# In a scratch copy of the patches, saveupdate.txt opens a host patch that
# holds one instance of the abstraction saveupdate_child, opens the
# abstraction's own file, adds a loadbang and a print box to it by script,
# marks it dirty and sends it "write". The file must then hold the new
# boxes, and the instance in the host must have been made again from it:
# when the loadbangs run, "updated: bang" is printed twice (by the file's
# own patcher and by the instance), once for each patcher.
cmake_policy(SET CMP0007 NEW)
include(${CMAKE_CURRENT_LIST_DIR}/../support/headless_run.cmake)

kivo_private_home(kivo-save-update-home home_root work)
set(work "${home_root}/work")
kivo_headless_env(${home_root} env_cmd)
foreach(f saveupdate.txt saveupdate_host.kivopat saveupdate_child.kivopat)
  file(COPY ${DATA_DIR}/${f} DESTINATION "${work}")
endforeach()
set(failures "")

execute_process(
  COMMAND ${env_cmd} ${KIVO} --nogui saveupdate.txt
  WORKING_DIRECTORY ${work}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
  TIMEOUT 30)
if(NOT rc STREQUAL "0")
  string(APPEND failures "exit status ${rc}, want 0\n${err}\n")
endif()

file(READ "${work}/saveupdate_child.kivopat" saved)
if(NOT saved MATCHES "\"text\" *: *\"print updated\"")
  string(APPEND failures "the abstraction's file lacks the new print box:\n${saved}\n")
endif()
file(GLOB left RELATIVE "${work}" "${work}/*")
list(SORT left)
if(NOT left STREQUAL "saveupdate.txt;saveupdate_child.kivopat;saveupdate_host.kivopat")
  string(APPEND failures "the folder holds ${left}\n")
endif()

string(REGEX MATCHALL "updated: bang" updated "${out}")
list(LENGTH updated n_updated)
string(REGEX MATCHALL "child: bang" child "${out}")
list(LENGTH child n_child)
if(NOT n_updated EQUAL 2 OR NOT n_child EQUAL 2)
  string(APPEND failures "want two \"updated: bang\" and two \"child: bang\", got:\n${out}\n${err}\n")
endif()
if("${out}${err}" MATCHES "error")
  string(APPEND failures "errors were reported:\n${out}${err}\n")
endif()

file(REMOVE_RECURSE "${home_root}")
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
