#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Python's xmlrpc.client calling an echo method, as an independent client.

    valuepeer.py URL     calls echo(value) for every value below and prints
                         "ok NAME" or "bad NAME: what came back" for each.
"""

import datetime
import sys
import xmlrpc.client

VALUES = {
    "third": 1 / 3,
    "pi": 3.141592653589793,
    "price": 1234567.89,
    "huge": 1e300,
    "tiny negative": -1.5e-300,
    "short double": 0.1,
    "emoji": "smile \U0001F600",
    "CJK extension B": "\U00020000\U0002A6D6",
    "mathematical letter": "\U0001D400",
    "carriage returns": "a\r\nb\r",
    "markup": "<a href=\"x\">&amp; ]]> 'q'</a>",
    "empty string": "",
    "int extremes": [2**31 - 1, -2**31],
    "boolean": True,
    "bytes": b"\x00\x01\xfe\xff",
    "date-time": datetime.datetime(1998, 7, 17, 14, 8, 55),
    "nested": {"list": [1, ["two", 3.5]], "map": {"k": "\U0001F600"}, "": "empty key"},
}


def main():
    proxy = xmlrpc.client.ServerProxy(sys.argv[1], use_builtin_types=True)
    for name, value in VALUES.items():
        try:
            answer = proxy.echo(value)
        except Exception as error:  # a fault or a transport error is a loss too
            print(f"bad {name}: {error!r}", flush=True)
            continue
        same = answer == value and type(answer) is type(value)
        print(f"{'ok' if same else 'bad'} {name}" + ("" if same else f": {answer!r}"), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
