# Fails unless the export table of each binary in BINARIES (read with
# OBJDUMP -p), and the EXPORTS of each .def file among them, name exactly
# the module's twenty routines, nothing more.
#   cmake -DOBJDUMP=... -DBINARIES="a.exe;b.dll;c.def" -P check_exports.cmake
set(expected
    credits file_access check_file_extension error_msg check_las update_header
    initialize_header10 initialize_header11 initialize_header12
    check_YN check_numeric_argument check_DEM
    l_quicksort l_qs d_quicksort d_qs
    l_parallel_quicksort l_parallel_qs d_parallel_quicksort d_parallel_qs)
list(SORT expected)

set(failed FALSE)
foreach(bin IN LISTS BINARIES)
    if(bin MATCHES "[.]def$")
        file(READ ${bin} def)
        string(REGEX REPLACE "^.*\nEXPORTS\n" "" def "${def}")
        string(REGEX MATCHALL "[A-Za-z_][A-Za-z_0-9]*" names "${def}")
        list(SORT names)
        if(NOT names STREQUAL expected)
            message(SEND_ERROR "${bin} lists ${names}")
        endif()
        continue()
    endif()
    execute_process(COMMAND ${OBJDUMP} -p ${bin} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(SEND_ERROR "${OBJDUMP} -p ${bin} failed")
        continue()
    endif()
    # The names follow this heading, one "[   n] name" line each, up to a
    # blank line.
    set(names "")
    string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
    if(at GREATER_EQUAL 0)
        string(SUBSTRING "${dump}" ${at} -1 table)
        string(REGEX REPLACE "\n[ \t]*\n.*" "" table "${table}")
        string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z_][A-Za-z_0-9@]*" rows "${table}")
        foreach(row IN LISTS rows)
            string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
            list(APPEND names ${name})
        endforeach()
    endif()
    list(SORT names)
    if(NOT names STREQUAL expected)
        set(missing ${expected})
        list(REMOVE_ITEM missing ${names})
        set(extra ${names})
        list(REMOVE_ITEM extra ${expected})
        message(SEND_ERROR "${bin}: exports differ\n  missing: ${missing}\n  unexpected: ${extra}")
    else()
        list(LENGTH names n)
        message(STATUS "${bin}: exports the ${n} routines")
    endif()
endforeach()
