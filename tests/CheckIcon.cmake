# Draws the icon again and compares it with the one the resources use.
execute_process(COMMAND ${PYTHON} ${SOURCE}/make_icon.py ${OUT} RESULT_VARIABLE drawn)
if(NOT drawn EQUAL 0)
  message(FATAL_ERROR "make_icon.py failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${SOURCE}/marlovex.ico RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "res/marlovex.ico differs from what res/make_icon.py draws; run it again")
endif()
