# SPDX-License-Identifier: MIT
#
# tavrel_add_standalone_header_check(TARGET HEADER...) adds an object library
# with one generated translation unit per public header. Each includes only its
# header, twice, and connects to every signal the header declares through a
# pointer to member. A header that needs another include first, or whose
# signals carry a pointer to a type it leaves incomplete (which the
# connection's metatype check refuses), fails the build.
#
# Signals are found in the header's text: the functions between a line
# "Q_SIGNALS:" and the next access specifier of each exported class.

function(tavrel_add_standalone_header_check target)
    set(sources)
    foreach(header IN LISTS ARGN)
        get_filename_component(path ${header} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
        get_filename_component(file_name ${path} NAME)
        get_filename_component(base_name ${path} NAME_WE)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
        file(READ ${path} text)

        set(connections "")
        string(FIND "${text}" "class TAVREL_EXPORT " class_start)
        while(class_start GREATER -1)
            string(SUBSTRING "${text}" ${class_start} -1 class_text)
            string(SUBSTRING "${class_text}" 1 -1 rest)
            string(FIND "${rest}" "class TAVREL_EXPORT " next)
            if(next GREATER -1)
                math(EXPR next "${next} + 1")
                string(SUBSTRING "${class_text}" 0 ${next} class_text)
                math(EXPR class_start "${class_start} + ${next}")
            else()
                set(class_start -1)
            endif()
            string(REGEX MATCH "^class TAVREL_EXPORT ([A-Za-z0-9_]+)" _ "${class_text}")
            set(class ${CMAKE_MATCH_1})

            string(FIND "${class_text}" "\nQ_SIGNALS:" signals_start)
            if(signals_start EQUAL -1)
                continue()
            endif()
            string(SUBSTRING "${class_text}" ${signals_start} -1 signals_text)
            string(SUBSTRING "${signals_text}" 1 -1 signals_text)
            set(signals_end -1)
            foreach(end_mark "\npublic" "\nprotected" "\nprivate" "\n};")
                string(FIND "${signals_text}" "${end_mark}" end)
                if(end GREATER -1 AND (signals_end EQUAL -1 OR end LESS signals_end))
                    set(signals_end ${end})
                endif()
            endforeach()
            string(SUBSTRING "${signals_text}" 0 ${signals_end} signals_text)
            string(REGEX MATCHALL "void [A-Za-z0-9_]+\\(" declarations "${signals_text}")
            if(NOT declarations)
                message(FATAL_ERROR "${file_name}: no signal found after Q_SIGNALS: of ${class}")
            endif()
            foreach(declaration IN LISTS declarations)
                string(REGEX REPLACE "^void ([A-Za-z0-9_]+)\\($" "\\1" signal "${declaration}")
                string(APPEND connections "    QObject::connect(static_cast<${class} *>(nullptr), "
                    "&${class}::${signal}, receiver, &QObject::deleteLater);\n")
            endforeach()
        endwhile()

        set(source "// Generated from ${file_name}: the header alone, and its signals connected.\n")
        string(APPEND source "#include \"${file_name}\"\n#include \"${file_name}\"\n")
        if(connections)
            string(APPEND source "\n[[maybe_unused]] static void connectEverySignal(QObject *receiver)\n"
                "{\n${connections}}\n")
        endif()
        set(output ${CMAKE_CURRENT_BINARY_DIR}/standalone-headers/${base_name}.cpp)
        tavrel_write_generated_source(${output} "${source}")
        list(APPEND sources ${output})
    endforeach()
    tavrel_compile_generated_sources(${target} ${sources})
endfunction()
