#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A launcher's side of Wayland's xdg-activation: asks the compositor on
WAYLAND_DISPLAY (a socket name in XDG_RUNTIME_DIR, or an absolute path) for an
activation token and prints it, as a desktop shell does before it starts a
program with XDG_ACTIVATION_TOKEN set. Exits 1, with why, when the compositor
has no xdg_activation_v1.

It speaks the wire protocol itself, so that the tests need no Wayland
development packages: each message is the object id, then the size (high 16
bits) and opcode (low 16 bits), then the arguments, 32-bit aligned.
"""

import os
import socket
import struct
import sys

DISPLAY, REGISTRY, CALLBACK, ACTIVATION, TOKEN = 1, 2, 3, 4, 5


def string(text):
    data = text.encode() + b"\0"
    return struct.pack("=I", len(data)) + data + b"\0" * (-len(data) % 4)


def message(target, opcode, arguments=b""):
    return struct.pack("=II", target, (8 + len(arguments)) << 16 | opcode) + arguments


def read_string(arguments, offset):
    (length,) = struct.unpack_from("=I", arguments, offset)
    text = arguments[offset + 4:offset + 4 + length - 1].decode()
    return text, offset + 4 + length + (-length % 4)


class Connection:
    def __init__(self, path):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.socket.connect(path)
        self.buffer = b""

    def send(self, data):
        self.socket.sendall(data)

    def events(self):
        while True:
            while len(self.buffer) >= 8:
                target, word = struct.unpack_from("=II", self.buffer)
                size = word >> 16
                if len(self.buffer) < size:
                    break
                arguments = self.buffer[8:size]
                self.buffer = self.buffer[size:]
                yield target, word & 0xFFFF, arguments
            data = self.socket.recv(4096)
            if not data:
                raise SystemExit("the compositor closed the connection")
            self.buffer += data


def main():
    display = os.environ.get("WAYLAND_DISPLAY", "wayland-0")
    if not display.startswith("/"):
        display = os.path.join(os.environ["XDG_RUNTIME_DIR"], display)
    connection = Connection(display)
    # wl_display.get_registry, then wl_display.sync: the callback's done event
    # comes after every global has been announced.
    connection.send(message(DISPLAY, 1, struct.pack("=I", REGISTRY))
                    + message(DISPLAY, 0, struct.pack("=I", CALLBACK)))
    activation = None
    for target, opcode, arguments in connection.events():
        if target == DISPLAY and opcode == 0:
            raise SystemExit("the compositor reported a protocol error")
        if target == REGISTRY and opcode == 0:
            (name,) = struct.unpack_from("=I", arguments)
            interface, _ = read_string(arguments, 4)
            if interface == "xdg_activation_v1":
                activation = name
        if target == CALLBACK and opcode == 0:
            break
    if activation is None:
        print("the compositor has no xdg_activation_v1", file=sys.stderr)
        return 1
    # wl_registry.bind (version 1), xdg_activation_v1.get_activation_token,
    # xdg_activation_token_v1.commit; the token arrives as its done event.
    connection.send(
        message(REGISTRY, 0, struct.pack("=I", activation) + string("xdg_activation_v1")
                + struct.pack("=II", 1, ACTIVATION))
        + message(ACTIVATION, 1, struct.pack("=I", TOKEN))
        + message(TOKEN, 3))
    for target, opcode, arguments in connection.events():
        if target == DISPLAY and opcode == 0:
            raise SystemExit("the compositor reported a protocol error")
        if target == TOKEN and opcode == 0:
            print(read_string(arguments, 0)[0])
            return 0


if __name__ == "__main__":
    sys.exit(main())
