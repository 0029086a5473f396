# cmake -DGROFF=<groff> | -DMANDOC=<mandoc> -DPAGE=<page> -P ManLint.cmake
# groff reports problems on stderr but still exits 0, so any diagnostic at all fails the check.
if(GROFF)
    execute_process(COMMAND ${GROFF} -man -ww -z ${PAGE}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
elseif(MANDOC)
    execute_process(COMMAND ${MANDOC} -Tlint -Wall ${PAGE}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
else()
    message(FATAL_ERROR "ManLint.cmake needs GROFF or MANDOC")
endif()
if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "${PAGE}: manual page lint failed (exit ${rc}):\n${out}")
endif()
