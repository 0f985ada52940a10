# Writes a text file into C++ source as a char array ending in a NUL, so a
# program carries the file without reading it at run time. Bytes, not a
# string literal: the text may hold anything, and compilers limit how long
# one literal may be.
#   cmake -DIN=report.js -DOUT=report_js.cpp -DNAME=audit::kReportScript -P embed_text.cmake
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" digits)
if(digits EQUAL 0)
    message(FATAL_ERROR "${IN} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# A line of bytes for each line of the text.
string(REPLACE "'\\x0a'," "'\\x0a',\n" bytes "${bytes}")
string(REGEX MATCH "^(.*)::([^:]+)$" qualified "${NAME}")
if(qualified)
    set(space ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    set(text "// Made from ${IN} by embed_text.cmake.\nnamespace ${space} {\nextern const char ${name}[];\nconst char ${name}[] = {\n${bytes}'\\0'};\n}\n")
else()
    set(text "// Made from ${IN} by embed_text.cmake.\nextern const char ${NAME}[];\nconst char ${NAME}[] = {\n${bytes}'\\0'};\n")
endif()
file(WRITE ${OUT} "${text}")
