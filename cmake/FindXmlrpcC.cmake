# SPDX-License-Identifier: MIT
# Debian's xmlrpc-c (libxmlrpc-core-c3-dev), a black-box peer of the benchmarks.
# xmlrpc-c-config names the libraries a program needs whether or not they are
# installed (its client needs curl's development files, libcurl4-openssl-dev),
# so each part counts as found only where a program using it links:
#   XmlrpcC_FOUND, XmlrpcC_LIBRARIES                 values and documents
#   XmlrpcC_PEER_FOUND, XmlrpcC_PEER_LIBRARIES       its client and its Abyss server
find_program(XMLRPC_C_CONFIG xmlrpc-c-config)
mark_as_advanced(XMLRPC_C_CONFIG)

include(CheckCXXSourceCompiles)
include(FindPackageHandleStandardArgs)

# Sets <prefix>_LIBRARIES and <prefix>_LINKS for the parts given to xmlrpc-c-config.
function(_xmlrpcc_check prefix source)
    execute_process(COMMAND ${XMLRPC_C_CONFIG} ${ARGN} --libs
        OUTPUT_VARIABLE libraries OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE status ERROR_QUIET)
    separate_arguments(libraries UNIX_COMMAND "${libraries}")
    set(CMAKE_REQUIRED_LIBRARIES ${libraries})
    set(CMAKE_REQUIRED_QUIET ON)
    if(status EQUAL 0)
        check_cxx_source_compiles("${source}" ${prefix}_LINKS)
    endif()
    set(${prefix}_LIBRARIES ${libraries} PARENT_SCOPE)
endfunction()

if(XMLRPC_C_CONFIG)
    _xmlrpcc_check(XmlrpcC [[
#include <xmlrpc-c/base.h>
int main()
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *value = xmlrpc_int_new(&env, 1);
    xmlrpc_DECREF(value);
    return 0;
}
]])
    _xmlrpcc_check(XmlrpcC_PEER [[
#include <xmlrpc-c/base.h>
#include <xmlrpc-c/client.h>
#include <xmlrpc-c/server.h>
#include <xmlrpc-c/server_abyss.h>
int main()
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_server_abyss_global_init(&env);
    xmlrpc_client_setup_global_const(&env);
    xmlrpc_client_teardown_global_const();
    return 0;
}
]] client abyss-server)
    set(XmlrpcC_PEER_FOUND ${XmlrpcC_PEER_LINKS})
endif()

find_package_handle_standard_args(XmlrpcC REQUIRED_VARS XMLRPC_C_CONFIG XmlrpcC_LINKS)
