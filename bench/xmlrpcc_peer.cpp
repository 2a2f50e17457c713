// SPDX-License-Identifier: MIT
// Debian's xmlrpc-c as an independent peer for the keep-alive and throughput benchmarks.
//
//   xmlrpcc_peer serve PORT [N]  an Abyss server (keep-alive) answering "echo"
//                                on 127.0.0.1:PORT; prints "ready" once bound.
//                                With N, it serves N connections at once (else
//                                Abyss's 15) and keeps each open for any number
//                                of calls (else 30).
//   xmlrpcc_peer call PORT N     N sequential calls over one kept-alive curl
//                                connection; prints calls/s, p50 and p99 in ms.

#include <xmlrpc-c/base.h>
#include <xmlrpc-c/client.h>
#include <xmlrpc-c/server.h>
#include <xmlrpc-c/server_abyss.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool failed(const xmlrpc_env &env)
{
    if (!env.fault_occurred)
        return false;
    std::fprintf(stderr, "xmlrpc-c: %s (%d)\n", env.fault_string, env.fault_code);
    return true;
}

xmlrpc_value *echo(xmlrpc_env *env, xmlrpc_value *params, void *, void *)
{
    xmlrpc_value *value = nullptr;
    xmlrpc_array_read_item(env, params, 0, &value);
    return value;
}

int serve(unsigned port, unsigned connections)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_server_abyss_global_init(&env);
    xmlrpc_registry *registry = xmlrpc_registry_new(&env);
    xmlrpc_method_info3 method = {};
    method.methodName = "echo";
    method.methodFunction = &echo;
    xmlrpc_registry_add_method3(&env, registry, &method);
    if (failed(env))
        return 1;
    xmlrpc_server_abyss_parms parameters = {};
    parameters.config_file_name = nullptr;
    parameters.registryP = registry;
    parameters.port_number = port;
    parameters.keepalive_max_conn = 1000000000;
    parameters.max_conn = connections;
    parameters.max_conn_backlog = connections;
    // Creating the server binds its socket; only then may the bench call it.
    xmlrpc_server_abyss_t *server = nullptr;
    xmlrpc_server_abyss_create(&env, &parameters,
        connections ? XMLRPC_APSIZE(max_conn_backlog) : XMLRPC_APSIZE(port_number), &server);
    if (failed(env))
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    xmlrpc_server_abyss_run_server(&env, server);
    return failed(env) ? 1 : 0;
}

int call(unsigned port, int count)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_client_setup_global_const(&env);
    xmlrpc_client *client = nullptr;
    xmlrpc_client_create(&env, XMLRPC_CLIENT_NO_FLAGS, "keepalive-bench", "1", nullptr, 0, &client);
    if (failed(env))
        return 1;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/RPC2";
    std::vector<double> latencies;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto before = Clock::now();
        xmlrpc_value *result = nullptr;
        xmlrpc_client_call2f(&env, client, url.c_str(), "echo", &result, "(s)", "hello");
        if (failed(env))
            return 1;
        xmlrpc_DECREF(result);
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - before).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    std::printf("%.0f %.3f %.3f\n", count / seconds, latencies[latencies.size() / 2],
        latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)]);
    xmlrpc_client_destroy(client);
    xmlrpc_client_teardown_global_const();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 3 && std::string(argv[1]) == "serve")
        return serve(unsigned(std::atoi(argv[2])), argc >= 4 ? unsigned(std::atoi(argv[3])) : 0);
    if (argc >= 4 && std::string(argv[1]) == "call")
        return call(unsigned(std::atoi(argv[2])), std::atoi(argv[3]));
    std::fprintf(stderr, "usage: xmlrpcc_peer serve PORT [N] | call PORT N\n");
    return 2;
}
