# Runs scdoc on one page: cmake -DSCDOC=scdoc -DIN=page.scd -DOUT=page.1 -P scdoc.cmake
execute_process(COMMAND ${SCDOC} INPUT_FILE ${IN} OUTPUT_FILE ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "scdoc failed on ${IN}")
endif()
