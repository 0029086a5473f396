# cmake -DIN=<page> -DOUT=<page> -DDATE=<YYYY-MM-DD> -P ManDate.cmake
# Writes a copy of a manual page whose .TH line carries DATE (the date of SOURCE_DATE_EPOCH), so
# the page's date comes from the same source as every other time in the build.
file(READ ${IN} page)
string(REGEX MATCH "(^|\n)\\.TH [^ \n]+ [^ \n]+ [^ \n]+" th "${page}")
if(th STREQUAL "")
    message(FATAL_ERROR "${IN}: no .TH line with a title, section and date")
endif()
string(REGEX REPLACE "[^ \n]+$" "${DATE}" new_th "${th}")
string(REPLACE "${th}" "${new_th}" page "${page}")
file(WRITE ${OUT} "${page}")
