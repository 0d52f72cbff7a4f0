# Runs `kivo --nogui` and compares its standard output and standard error
# with the expected files, line for line.
execute_process(COMMAND ${KIVO} --nogui
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kivo --nogui exited with ${rc}\nstdout:\n${out}\nstderr:\n${err}")
endif()
file(READ ${EXPECT_DIR}/nogui.stdout want_out)
if(NOT out STREQUAL want_out)
  message(FATAL_ERROR "stdout differs\nwant:\n${want_out}\ngot:\n${out}")
endif()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "unexpected stderr:\n${err}")
endif()

execute_process(COMMAND ${KIVO} --nogui missing.kivopat
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(rc EQUAL 0)
  message(FATAL_ERROR "kivo with a file it cannot open exited with 0")
endif()
file(READ ${EXPECT_DIR}/nofile.stderr want_err)
if(NOT err STREQUAL want_err)
  message(FATAL_ERROR "stderr differs\nwant:\n${want_err}\ngot:\n${err}")
endif()
