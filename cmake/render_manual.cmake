# Renders the manual page as plain text a Windows user can open in Notepad:
# ASCII, no overstriking or hyphenation, CRLF line ends.
#   cmake -DGROFF=groff -DIN=Vexholt.1 -DOUT=Vexholt.txt -P render_manual.cmake
execute_process(COMMAND ${GROFF} -t -man -Tascii -P-cbou -rHY=0 ${IN}
                OUTPUT_VARIABLE text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "${GROFF} could not render ${IN}")
endif()
string(REGEX REPLACE "\n+$" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
