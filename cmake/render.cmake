# Runs COMMAND (a list) and writes its standard output to OUTPUT, which is made only when the
# command succeeds and says nothing on its error stream: a warning fails the build.
#   cmake -DCOMMAND="tool;arg;..." -DOUTPUT=file -P render.cmake
execute_process(COMMAND ${COMMAND} OUTPUT_FILE ${OUTPUT}.part ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR errors)
  file(REMOVE ${OUTPUT}.part)
  message(FATAL_ERROR "${COMMAND} failed (${status}): ${errors}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
