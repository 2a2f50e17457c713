#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Calls an XML-RPC server with Python's own client and checks the answers.

Usage: validator1client.py PORT PART

The server at http://127.0.0.1:PORT/RPC2 is expected to answer the classic
"validator1" suite, plus:
  test.fail(code, text)  the fault code and text
  test.echo(value)       its argument
PART is one of validator1, multicall, faults, keepalive. Every part uses one
ServerProxy, so every call of a part travels on one kept-alive connection.
Prints one line per failed check and exits 1 if any failed, else prints "ok".
"""

import sys
import xmlrpc.client

failures = []


def check(name, actual, expected):
    if actual != expected:
        failures.append("%s: got %r, expected %r" % (name, actual, expected))


def check_fault(name, call, code, text=None):
    try:
        result = call()
    except xmlrpc.client.Fault as fault:
        check(name + " code", fault.faultCode, code)
        if text is not None:
            check(name + " text", fault.faultString, text)
    else:
        failures.append("%s: got %r, expected fault %d" % (name, result, code))


def validator1(proxy):
    v = proxy.validator1
    check("arrayOfStructsTest",
          v.arrayOfStructsTest([{"moe": 1, "larry": 2, "curly": 3},
                                {"moe": 4, "larry": 5, "curly": -6},
                                {"moe": 0, "larry": 0, "curly": 100}]), 97)
    check("arrayOfStructsTest, empty", v.arrayOfStructsTest([]), 0)
    check("countTheEntities",
          v.countTheEntities("a<b>c&d'e\"f<<&&&'<>x"),
          {"ctLeftAngleBrackets": 4, "ctRightAngleBrackets": 2, "ctAmpersands": 4,
           "ctApostrophes": 2, "ctQuotes": 1})
    check("countTheEntities, none", v.countTheEntities("plain text"),
          {"ctLeftAngleBrackets": 0, "ctRightAngleBrackets": 0, "ctAmpersands": 0,
           "ctApostrophes": 0, "ctQuotes": 0})
    check("easyStructTest", v.easyStructTest({"moe": 5, "larry": 7, "curly": -3}), 9)
    nested = {"name": "struct <&> \u00e9\u4e2d",
              "list": [1, "two", 3.25, True, {"deep": [[], {}]}],
              "empty": ""}
    check("echoStructTest", v.echoStructTest(nested), nested)
    when = xmlrpc.client.DateTime("20240229T23:59:58")
    blob = xmlrpc.client.Binary(bytes(range(256)))
    answer = v.manyTypesTest(-17, True, "many <types> & more", 3.25, when, blob)
    check("manyTypesTest", answer, [-17, True, "many <types> & more", 3.25, when, blob])
    check("manyTypesTest, date type", type(answer[4]), xmlrpc.client.DateTime)
    words = ["first"] + ["item %d" % i for i in range(150)] + ["last"]
    check("moderateSizeArrayCheck", v.moderateSizeArrayCheck(words), "firstlast")
    calendar = {
        "1999": {"04": {"01": {"moe": 1000, "larry": 1000, "curly": 1000}}},
        "2000": {
            "03": {"31": {"moe": 1000, "larry": 1000, "curly": 1000}},
            "04": {"01": {"moe": 12, "larry": 23, "curly": 34},
                   "02": {"moe": 1000, "larry": 1000, "curly": 1000}},
        },
    }
    check("nestedStructTest", v.nestedStructTest(calendar), 69)
    check("simpleStructReturnTest", v.simpleStructReturnTest(7),
          {"times10": 70, "times100": 700, "times1000": 7000})
    methods = proxy.system.listMethods()
    for name in ("system.listMethods", "system.multicall", "validator1.arrayOfStructsTest",
                 "validator1.simpleStructReturnTest"):
        check("system.listMethods has " + name, name in methods, True)
    check("system.listMethods sorted", methods, sorted(methods))


def multicall(proxy):
    calls = xmlrpc.client.MultiCall(proxy)
    calls.validator1.easyStructTest({"moe": 1, "larry": 2, "curly": 3})
    calls.test.fail(42, "forty-two")
    calls.no.such.method()
    calls.validator1.simpleStructReturnTest(2)
    calls.validator1.easyStructTest("not a struct")
    calls.test.echo(["a", 1])
    results = calls()
    check("multicall 0", results[0], 6)
    check_fault("multicall 1", lambda: results[1], 42, "forty-two")
    check_fault("multicall 2", lambda: results[2], -32601)
    check("multicall 3", results[3], {"times10": 20, "times100": 200, "times1000": 2000})
    check_fault("multicall 4", lambda: results[4], -32602)
    check("multicall 5", results[5], ["a", 1])
    check("multicall, empty", list(xmlrpc.client.MultiCall(proxy)()), [])


def faults(proxy):
    check_fault("handler fault", lambda: proxy.test.fail(7, "seven <&>"), 7, "seven <&>")
    check_fault("negative code", lambda: proxy.test.fail(-1, ""), -1)
    check_fault("unknown method", lambda: proxy.no.such.method(1, 2), -32601)
    check_fault("invalid parameters", lambda: proxy.validator1.easyStructTest(1, 2), -32602)
    check_fault("missing parameter", lambda: proxy.validator1.simpleStructReturnTest(), -32602)
    # The connection survives faults.
    check("after faults", proxy.test.echo("still here"), "still here")


def keepalive(proxy):
    for i in range(50):
        check("call %d" % i, proxy.test.echo(i), i)


def main():
    port = int(sys.argv[1])
    part = sys.argv[2]
    parts = {"validator1": validator1, "multicall": multicall, "faults": faults,
             "keepalive": keepalive}
    with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % port) as proxy:
        parts[part](proxy)
    for failure in failures:
        print(failure)
    if failures:
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
