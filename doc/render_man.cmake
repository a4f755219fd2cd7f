# Renders one manual page: cmake -DSOURCE=page.8.scd -DOUTPUT=page.8
# -DVERSION=x.y.z -DSCDOC=scdoc -DGROFF=groff -P render_man.cmake
# @VERSION@ in the source becomes the project's version. Fails on any scdoc
# error and on any groff warning, leaving no output behind.
configure_file(${SOURCE} ${OUTPUT}.scd @ONLY)
execute_process(
  COMMAND ${SCDOC}
  INPUT_FILE ${OUTPUT}.scd
  OUTPUT_FILE ${OUTPUT}.tmp
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "scdoc failed on ${SOURCE}:\n${errors}")
endif()

execute_process(
  COMMAND ${GROFF} -man -ww -z -Tutf8 ${OUTPUT}.tmp
  ERROR_VARIABLE warnings
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "groff warns about ${SOURCE}:\n${warnings}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
