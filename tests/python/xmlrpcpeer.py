#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""An independent XML-RPC peer for the client tests.

Serves on 127.0.0.1, on a free port chosen by the system, and prints that port
on a line of its own once it listens. With --cert and --key it speaks HTTPS.

Methods:
  echo(value)       returns its argument unchanged
  fail(code, text)  raises xmlrpc.client.Fault(code, text)
  system.listMethods and the other introspection functions
  system.multicall  with --multicall
None is written as <nil/> with --allow-none.
Any other method name is answered with Python's own fault for an unknown method.
"""

import argparse
import sys
import xmlrpc.client
from xmlrpc.server import SimpleXMLRPCServer


def fail(code, text):
    raise xmlrpc.client.Fault(code, text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--multicall", action="store_true")
    parser.add_argument("--allow-none", action="store_true")
    options = parser.parse_args()

    server = SimpleXMLRPCServer(
        ("127.0.0.1", 0), logRequests=False, use_builtin_types=True, allow_none=options.allow_none
    )
    server.register_function(lambda value: value, "echo")
    server.register_function(fail, "fail")
    server.register_introspection_functions()
    if options.multicall:
        server.register_multicall_functions()
    if options.cert:
        import ssl

        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)
        # A client that refuses the certificate makes accept() fail; socketserver
        # drops that connection and goes on serving.
        server.socket = context.wrap_socket(server.socket, server_side=True)

    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
