# SPDX-License-Identifier: MIT
"""Python's xmlrpc as an independent peer for the keep-alive and throughput benchmarks.

  keepalive_peer.py serve PORT     SimpleXMLRPCServer speaking HTTP/1.1 (keep-alive)
                                    on 127.0.0.1:PORT; prints the port once bound.
  keepalive_peer.py serve-threading PORT
                                    the same with socketserver.ThreadingMixIn: a
                                    thread for each connection.
  keepalive_peer.py serve-at ADDRESS PORT [CERT KEY]
                                    the same on ADDRESS, speaking HTTPS with CERT and KEY.
  keepalive_peer.py call PORT N    N sequential calls over one kept-alive
                                    connection; prints calls/s, p50 and p99 in ms.
"""
import socketserver
import sys
import time
import xmlrpc.client
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer


class KeepAliveHandler(SimpleXMLRPCRequestHandler):
    protocol_version = "HTTP/1.1"


class ThreadingServer(socketserver.ThreadingMixIn, SimpleXMLRPCServer):
    daemon_threads = True
    # Room for every client of the benchmark connecting at once.
    request_queue_size = 64


def serve(port, server_class=SimpleXMLRPCServer, address="127.0.0.1", cert=None, key=None):
    server = server_class((address, port), requestHandler=KeepAliveHandler,
                          logRequests=False)
    server.register_function(lambda text: text, "echo")
    if cert:
        import ssl

        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


def call(port, count):
    proxy = xmlrpc.client.ServerProxy(f"http://127.0.0.1:{port}/RPC2")
    latencies = []
    start = time.perf_counter()
    for _ in range(count):
        before = time.perf_counter()
        proxy.echo("hello")
        latencies.append(time.perf_counter() - before)
    total = time.perf_counter() - start
    latencies.sort()
    p50 = latencies[len(latencies) // 2] * 1000
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] * 1000
    print(f"{count / total:.0f} {p50:.3f} {p99:.3f}", flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve(int(sys.argv[2]))
    elif sys.argv[1] == "serve-threading":
        serve(int(sys.argv[2]), ThreadingServer)
    elif sys.argv[1] == "serve-at":
        serve(int(sys.argv[3]), address=sys.argv[2], cert=sys.argv[4] if len(sys.argv) > 5 else None,
              key=sys.argv[5] if len(sys.argv) > 5 else None)
    else:
        call(int(sys.argv[2]), int(sys.argv[3]))
