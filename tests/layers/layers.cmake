# SPDX-License-Identifier: MIT
#
# tavrel_add_layer_check(TEST) adds a test that preprocesses one-line sources
# with the include path and definitions of a layer of the library, as its own
# files are compiled, and expects each include that reaches up or sideways to
# fail and each include of the layer's own or lower headers to succeed. The
# cases are in check-layers.cmake.

function(tavrel_add_layer_check test)
    set(flags_dir ${CMAKE_CURRENT_BINARY_DIR}/layer-flags)
    foreach(layer IN ITEMS codec http instance)
        set(target tavrel_${layer})
        file(GENERATE OUTPUT ${flags_dir}/${layer}.txt CONTENT
            "-I$<JOIN:$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>,\n-I>\n-D$<JOIN:$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>,\n-D>\n")
    endforeach()
    add_test(NAME ${test} COMMAND ${CMAKE_COMMAND}
        -DCOMPILER=${CMAKE_CXX_COMPILER} -DFLAGS_DIR=${flags_dir}
        -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/layer-check
        -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/check-layers.cmake)
endfunction()
