# SPDX-License-Identifier: MIT
#
# tavrel_add_readme_snippets(TARGET README PRELUDE) adds an object library that
# compiles every ```cpp block of README, so that its examples keep to the API.
# A block is a function body by default: the body of a member of the class
# Receiver that PRELUDE declares, with the library's headers and the names the
# examples take as given. An HTML comment on the line just before a block
# changes that:
#   <!-- snippet: file scope -->   the block stands at file scope
#   <!-- snippet: continued -->    the block goes on where the last block of
#                                  statements ended, in the same function
# README is read when CMake runs, and a change to it runs CMake again; errors
# point at README's own lines.

function(tavrel_add_readme_snippets target readme prelude)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${readme})
    file(READ ${readme} text)
    set(fence "```cpp\n")
    string(LENGTH "${fence}" fence_length)
    set(scanned 0) # characters of text before rest
    set(rest "${text}")
    set(count 0)
    set(sources)
    set(last_function "")
    while(TRUE)
        string(FIND "${rest}" "${fence}" start)
        if(start EQUAL -1)
            break()
        endif()
        string(SUBSTRING "${rest}" 0 ${start} before)
        math(EXPR content_start "${start} + ${fence_length}")
        string(SUBSTRING "${rest}" ${content_start} -1 rest)
        string(FIND "${rest}" "\n```" end)
        if(end EQUAL -1)
            message(FATAL_ERROR "${readme}: a ```cpp block is not closed")
        endif()
        math(EXPR end "${end} + 1")
        string(SUBSTRING "${rest}" 0 ${end} code)
        string(SUBSTRING "${rest}" ${end} -1 rest)

        # The block's first line, counted in the whole text.
        string(SUBSTRING "${text}" 0 ${scanned} scanned_text)
        string(APPEND scanned_text "${before}${fence}")
        string(REGEX MATCHALL "\n" newlines "${scanned_text}")
        list(LENGTH newlines line)
        math(EXPR line "${line} + 1")
        string(LENGTH "${scanned_text}${code}" scanned)

        set(scope function)
        if(before MATCHES "<!-- snippet: ([a-z ]+) -->\n$")
            set(scope "${CMAKE_MATCH_1}")
        endif()
        set(part "#line ${line} \"${readme}\"\n${code}")
        if(scope STREQUAL "continued")
            if(NOT last_function)
                message(FATAL_ERROR "${readme}:${line}: no block of statements before this one")
            endif()
            string(APPEND body_${last_function} "${part}")
            continue()
        endif()
        math(EXPR count "${count} + 1")
        set(body_${count} "// Generated from ${readme}, the block at line ${line}.\n")
        string(APPEND body_${count} "#include \"${prelude}\"\n\n")
        if(scope STREQUAL "function")
            string(APPEND body_${count} "template<>\nvoid Receiver::snippet<${count}>()\n{\n${part}")
            set(closing_${count} "}\n")
            set(last_function ${count})
        elseif(scope STREQUAL "file scope")
            string(APPEND body_${count} "${part}")
            set(closing_${count} "")
        else()
            message(FATAL_ERROR "${readme}:${line}: unknown snippet scope \"${scope}\"")
        endif()
    endwhile()
    if(count EQUAL 0)
        message(FATAL_ERROR "${readme}: no ```cpp block found")
    endif()
    foreach(index RANGE 1 ${count})
        set(output ${CMAKE_CURRENT_BINARY_DIR}/readme-snippets/snippet${index}.cpp)
        tavrel_write_generated_source(${output} "${body_${index}}${closing_${index}}")
        list(APPEND sources ${output})
    endforeach()
    tavrel_compile_generated_sources(${target} ${sources})
endfunction()
