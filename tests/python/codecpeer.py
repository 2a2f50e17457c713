#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Python's own xmlrpc.client as an independent peer for the codec tests: it
loads the documents the codec wrote and dumps documents for the codec to parse.

Reads one JSON request from standard input and writes one JSON answer to
standard output, so that a whole table of values needs a single run:

  request: {"load": [UTF-8 documents, each Base64-encoded],
            "dumpValues": [tagged values],
            "dumpFaults": [{"code": int, "string": str}]}
  answer:  {"loaded": [{"method": str or null, "params": [tagged values]}
                       or {"fault": {"code": int, "string": str}}
                       or {"error": str}],
            "values": [methodResponse documents],
            "faults": [methodResponse fault documents]}

A tagged value is an object with one key naming its XML-RPC type: {"boolean":
true}, {"int": 5}, {"double": 0.5}, {"string": "x"}, {"base64": "aGk="},
{"dateTime": "1998-07-17T14:08:55"}, {"array": [...]} or {"struct": {...}}.
"""

import base64
import datetime
import json
import sys
import xmlrpc.client


def tagged(value):
    # bool before int: a Python bool is an int too.
    if isinstance(value, bool):
        return {"boolean": value}
    if isinstance(value, int):
        return {"int": value}
    if isinstance(value, float):
        return {"double": value}
    if isinstance(value, str):
        return {"string": value}
    if isinstance(value, bytes):
        return {"base64": base64.b64encode(value).decode("ascii")}
    if isinstance(value, datetime.datetime):
        return {"dateTime": value.isoformat()}
    if isinstance(value, (list, tuple)):
        return {"array": [tagged(item) for item in value]}
    if isinstance(value, dict):
        return {"struct": {key: tagged(item) for key, item in value.items()}}
    return {"unknown": repr(value)}


def untagged(value):
    (kind, content), = value.items()
    if kind == "double":
        return float(content)  # JSON writes 3.0 as 3
    if kind == "base64":
        return base64.b64decode(content)
    if kind == "dateTime":
        return datetime.datetime.fromisoformat(content)
    if kind == "array":
        return [untagged(item) for item in content]
    if kind == "struct":
        return {key: untagged(item) for key, item in content.items()}
    return content


def load(document):
    try:
        params, method = xmlrpc.client.loads(base64.b64decode(document), use_builtin_types=True)
    except xmlrpc.client.Fault as fault:
        return {"fault": {"code": fault.faultCode, "string": fault.faultString}}
    except Exception as error:  # report every refusal to the test, whatever its kind
        return {"error": "%s: %s" % (type(error).__name__, error)}
    return {"method": method, "params": [tagged(param) for param in params]}


def main():
    request = json.load(sys.stdin)
    answer = {
        "loaded": [load(document) for document in request.get("load", [])],
        "values": [
            xmlrpc.client.dumps((untagged(value),), methodresponse=True)
            for value in request.get("dumpValues", [])
        ],
        "faults": [
            xmlrpc.client.dumps(xmlrpc.client.Fault(fault["code"], fault["string"]),
                                methodresponse=True)
            for fault in request.get("dumpFaults", [])
        ],
    }
    json.dump(answer, sys.stdout)


if __name__ == "__main__":
    main()
