# SPDX-License-Identifier: MIT
#
# Preprocesses one include per case with a layer's flags, as written by
# tavrel_add_layer_check(): cmake -DCOMPILER=... -DFLAGS_DIR=... -DWORK_DIR=... -P check-layers.cmake
# A case is LAYER|HEADER|refused or LAYER|HEADER|seen. A refused header must be
# missing from the layer's include path; a seen one shows that the flags work.

set(cases
    "codec|quorcodec_p.h|seen"
    "codec|quordebug_p.h|seen"
    "codec|quorobject.h|refused"
    "codec|quorhttp_p.h|refused"
    "http|quorserverconnection_p.h|seen"
    "http|quorcodec_p.h|seen"
    "http|quorxmlrpcserver_p.h|refused"
    "http|quorobject.h|refused"
    "instance|tavrelplatform_p.h|seen"
    "instance|quorxmlrpcclient.h|seen"
    "instance|quorinstancecall_p.h|seen"
    "instance|quorhttpclient_p.h|refused"
    "instance|quorobject_p.h|refused"
    "instance|quorxmlrpcserver_p.h|refused"
    "instance|quorcodec_p.h|refused")

file(MAKE_DIRECTORY ${WORK_DIR})
set(failures 0)
foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 layer)
    list(GET fields 1 header)
    list(GET fields 2 expected)
    file(STRINGS ${FLAGS_DIR}/${layer}.txt flags)
    list(FILTER flags EXCLUDE REGEX "^-[ID]$")
    set(source ${WORK_DIR}/${layer}-${header}.cpp)
    file(WRITE ${source} "#include \"${header}\"\n")
    execute_process(COMMAND ${COMPILER} -std=c++17 -fPIC ${flags} -E -o /dev/null ${source}
        RESULT_VARIABLE result ERROR_VARIABLE errors OUTPUT_QUIET)
    # The header itself is missing, as GCC and Clang say it; not one it includes.
    string(FIND "${errors}" "${header}: No such file" gcc_missing)
    string(FIND "${errors}" "'${header}' file not found" clang_missing)
    if(expected STREQUAL "seen" AND result EQUAL 0)
        message(STATUS "ok: ${layer} sees ${header}")
    elseif(expected STREQUAL "refused" AND NOT result EQUAL 0
           AND (gcc_missing GREATER -1 OR clang_missing GREATER -1))
        message(STATUS "ok: ${layer} cannot include ${header}")
    else()
        message(STATUS "FAILED: ${layer} with ${header}, expected ${expected}:\n${errors}")
        math(EXPR failures "${failures} + 1")
    endif()
endforeach()
if(failures GREATER 0)
    message(FATAL_ERROR "${failures} layer checks failed")
endif()
