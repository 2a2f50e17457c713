#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed corpora of the fuzz harnesses from real documents.

Responses, faults and calls come from Python's xmlrpc.client.dumps, an
independent writer; a handful of odd documents are written by hand (i4, nil,
untyped values, upper-case tags, CRLF, entities, CDATA, comments, DOCTYPE,
other encodings); HTTP requests wrap call documents with the framing a server
meets (Content-Length, keep-alive, pipelining, Expect: 100-continue and
requests it refuses).

    fuzz/make-corpus.py [output-dir]     (default: fuzz/corpus beside this file)

Each harness gets a directory of its own name; existing files are replaced,
so the output depends only on this script and Python's writer.
"""
import datetime
import os
import sys
import xmlrpc.client as xc

# The methods fuzz_serverrequest registers, besides the built-in ones.
ECHO, FAIL, LATER, SILENT = "echo", "fail", "later", "silent"

VALUES = {
    "int": 42,
    "int-negative": -2147483648,
    "boolean": True,
    "double": 3.25,
    "double-exponent": -1.5e-300,
    "string": "hello, world",
    "string-markup": "<a href=\"x\">&amp; ' ]]> </a>",
    "string-unicode": "Gr\u00fc\u00dfe \u4e16\u754c \U0001f600",
    "string-controls": "tab\there\r\nline\x7f",
    "string-empty": "",
    "base64": xc.Binary(b"\x00\x01binary\xff\xfe"),
    "datetime": xc.DateTime(datetime.datetime(2024, 2, 29, 23, 59, 58)),
    "array": [1, "two", 3.0, False],
    "array-empty": [],
    "struct": {"faultCode": 7, "name": "x", "nested": {"a": [1, {"b": "c"}]}},
    "struct-empty": {},
    "nested": [[[[[{"deep": [[["down"]]]}]]]]],
    "mixed": [{"id": i, "tags": ["t%d" % i] * i, "ok": i % 2 == 0} for i in range(4)],
}


def response(value, allow_none=False):
    return xc.dumps((value,), methodresponse=True, allow_none=allow_none)


def call(method, params=(), allow_none=False):
    return xc.dumps(tuple(params), methodname=method, allow_none=allow_none)


def value_element(body):
    return ("<?xml version=\"1.0\"?>\n<methodResponse><params><param>%s</param></params>"
            "</methodResponse>\n" % body)


# Documents no writer of ours or Python's produces, but peers send.
ODD_RESPONSES = {
    "odd-i4": value_element("<value><i4>-12</i4></value>"),
    "odd-nil": value_element("<value><nil/></value>"),
    "odd-untyped": value_element("<value>plain text</value>"),
    "odd-untyped-empty": value_element("<value></value>"),
    "odd-upper-case": "<METHODRESPONSE><PARAMS><PARAM><VALUE><INT>7</INT></VALUE></PARAM>"
                      "</PARAMS></METHODRESPONSE>",
    "odd-mixed-case-fault": "<methodResponse><Fault><Value><STRUCT><Member><Name>faultCode"
                            "</Name><Value><I4>3</I4></Value></Member></STRUCT></Value>"
                            "</Fault></methodResponse>",
    "odd-crlf": response({"a": [1, 2]}).replace("\n", "\r\n"),
    "odd-entities": value_element("<value><string>&lt;&amp;&gt;&quot;&apos;&#65;&#x263A;"
                                  "&#13;</string></value>"),
    "odd-cdata": value_element("<value><string><![CDATA[<not markup> & ]]></string></value>"),
    "odd-comments": "<?xml version=\"1.0\"?><!-- before --><methodResponse><!-- first -->"
                    "<params><param><value><int>1</int></value></param></params>"
                    "</methodResponse>",
    "odd-comment-inside": value_element("<value><!-- c --><int>5</int></value>"),
    "odd-doctype": "<?xml version=\"1.0\"?>\n<!DOCTYPE methodResponse [\n"
                   "<!ENTITY greeting \"expanded &#60;text&#62;\">\n"
                   "<!ELEMENT methodResponse ANY>\n]>\n"
                   "<methodResponse><params><param><value><string>&greeting;</string>"
                   "</value></param></params></methodResponse>",
    "odd-datetime-forms": value_element(
        "<value><array><data><value><datetime>20240101T00:00:00</datetime></value>"
        "<value><dateTime.iso8601>2024-01-01T00:00:00Z</dateTime.iso8601></value>"
        "<value><DATETIME.ISO8601>19991231T23:59:60</DATETIME.ISO8601></value>"
        "</data></array></value>"),
    "odd-booleans": value_element(
        "<value><array><data><value><boolean>true</boolean></value>"
        "<value><boolean>TRUE</boolean></value><value><boolean>2</boolean></value>"
        "<value><boolean/></value></data></array></value>"),
    "odd-numbers": value_element(
        "<value><array><data><value><int> 12 </int></value><value><int>99999999999</int>"
        "</value><value><double>nan</double></value><value><double>1e999</double></value>"
        "<value><double>0x10</double></value></data></array></value>"),
    "odd-base64": value_element("<value><base64>\nAAEC\nAwQF\n==!!</base64></value>"),
    "odd-struct-broken": value_element(
        "<value><struct><member><value><int>1</int></value></member>"
        "<member><name>only a name</name></member><member><name>dup</name><value>a</value>"
        "</member><member><name>dup</name><value>b</value></member>text<other/>"
        "</struct></value>"),
    "odd-array-broken": value_element(
        "<value><array><value><int>1</int></value><data/><data><int>2</int>"
        "<value>x</value></data></array></value>"),
    "odd-unknown-type": value_element("<value><bignum>123</bignum></value>"),
    "odd-two-params": "<methodResponse><params><param><value>1</value></param>"
                      "<param><value>2</value></param></params></methodResponse>",
    "odd-empty-params": "<methodResponse><params/></methodResponse>",
    "odd-other-root": "<answer><params><param><value>x</value></param></params></answer>",
    "odd-fault-string": "<methodResponse><fault><value>just text</value></fault>"
                        "</methodResponse>",
    "odd-not-rpc": "<?xml version=\"1.0\"?><html><body>502 Bad Gateway</body></html>",
    "odd-namespaced": "<r:methodResponse xmlns:r=\"urn:x\"><r:params><r:param><r:value>"
                      "<r:int>1</r:int></r:value></r:param></r:params></r:methodResponse>",
    "odd-deep": value_element("<value><array><data>" * 40 + "<value>x</value>"
                              + "</data></array></value>" * 40),
    "odd-truncated": response({"cut": "here"})[:60],
    "odd-empty": "",
}


def responses():
    seeds = {"response-" + name: response(value) for name, value in VALUES.items()}
    seeds["response-nil"] = response(None, allow_none=True)
    seeds["fault"] = xc.dumps(xc.Fault(4, "Too many parameters."), methodresponse=True)
    seeds["fault-transport"] = xc.dumps(xc.Fault(-32300, "Connection refused"),
                                        methodresponse=True)
    seeds.update(ODD_RESPONSES)
    return seeds


def calls():
    return {
        "call-echo": call(ECHO, [1, "two", [3.5, True], {"k": xc.Binary(b"v")}]),
        "call-echo-datetime": call(ECHO, [xc.DateTime(datetime.datetime(2001, 2, 3, 4, 5, 6))]),
        "call-echo-nil": call(ECHO, [None], allow_none=True),
        "call-no-params": call("system.listMethods"),
        "call-fail": call(FAIL, [4711, "handler says no"]),
        "call-later": call(LATER, ["deferred"]),
        "call-silent": call(SILENT),
        "call-unknown": call("no.such.method", [1]),
        "call-multicall": call("system.multicall", [[
            {"methodName": ECHO, "params": [1]},
            {"methodName": FAIL, "params": [3, "x"]},
            {"methodName": LATER, "params": ["y"]},
            {"methodName": "system.multicall", "params": []},
            {"methodName": SILENT, "params": []},
            "not a struct",
        ]]),
        "call-nested": call(ECHO, [VALUES["nested"], VALUES["mixed"]]),
        "call-untyped": "<?xml version=\"1.0\"?><methodCall><methodName>echo</methodName>"
                        "<params><param><value>text</value></param><param><value><i4>1</i4>"
                        "</value></param></params></methodCall>",
        "call-no-name": "<methodCall><params/></methodCall>",
    }


def post(body, extra=b"", path=b"/RPC2", version=b"HTTP/1.1", host=b"127.0.0.1",
         content_type=b"text/xml", length=None, eol=b"\r\n"):
    if isinstance(body, str):
        body = body.encode("utf-8")
    lines = [b"POST " + path + b" " + version]
    if host is not None:
        lines.append(b"Host: " + host)
    if content_type is not None:
        lines.append(b"Content-Type: " + content_type)
    if length is not False:
        lines.append(b"Content-Length: " + (str(len(body)).encode() if length is None
                                              else length))
    head = eol.join(lines) + eol + extra.replace(b"\r\n", eol)
    return head + eol + body


def requests():
    c = {name: text.encode("utf-8") for name, text in calls().items()}
    echo, later = c["call-echo"], c["call-later"]
    seeds = {"request-" + name[len("call-"):]: post(body) for name, body in c.items()}
    seeds.update({
        "request-keep-alive": post(echo, b"Connection: keep-alive\r\n"),
        "request-close": post(echo, b"Connection: close\r\n"),
        "request-http10": post(echo, version=b"HTTP/1.0", host=None),
        "request-http10-keep-alive": post(echo, b"Connection: Keep-Alive\r\n", version=b"HTTP/1.0")
        + post(later, version=b"HTTP/1.0"),
        "request-pipelined": post(echo) + post(later),
        "request-pipelined-close": post(echo, b"Connection: close\r\n") + post(echo),
        "request-pipelined-refused": post(echo, path=b"/nowhere") + post(echo),
        "request-expect-continue": post(echo, b"Expect: 100-continue\r\n"),
        "request-expect-continue-head-only": post(b"", b"Expect: 100-continue\r\n",
                                                  length=str(len(echo)).encode()),
        "request-bare-lf": post(echo, b"User-Agent: seed\r\n", eol=b"\n"),
        "request-blank-lines-before": b"\r\n\r\n" + post(echo),
        "request-absolute-target": post(echo, path=b"http://localhost:8080/RPC2?x=1"),
        "request-root-path": post(echo, path=b"/", content_type=b"application/xml; charset=utf-8"),
        "request-ipv6-host": post(echo, host=b"[::1]:8080"),
        "request-localhost-dot": post(echo, host=b"LOCALHOST."),
        "request-foreign-host": post(echo, host=b"example.org"),
        "request-no-host": post(echo, host=None),
        "request-two-hosts": post(echo, b"Host: localhost\r\n"),
        "request-text-plain": post(echo, content_type=b"text/plain"),
        "request-no-length": post(echo, length=False),
        "request-chunked": post(b"5\r\nhello\r\n0\r\n\r\n", b"Transfer-Encoding: chunked\r\n",
                                length=False),
        "request-length-bad": post(echo, length=b"12abc"),
        "request-length-negative": post(echo, length=b"-1"),
        "request-length-twice": post(echo, b"Content-Length: 5\r\n"),
        "request-length-huge": post(echo, length=b"99999999999999"),
        "request-length-short": post(echo, length=str(len(echo) // 2).encode()),
        "request-length-long": post(echo, length=str(len(echo) + 100).encode()),
        "request-get": b"GET /RPC2 HTTP/1.1\r\nHost: localhost\r\n\r\n",
        "request-http2": post(echo, version=b"HTTP/2.0"),
        "request-space-before-colon": post(echo, b"X-Seed : 1\r\n"),
        "request-folded-header": post(echo, b"X-Seed: 1\r\n  continued\r\n"),
        "request-utf16-body": post(call(ECHO, ["utf-16"]).replace(
            "<?xml version='1.0'?>", "<?xml version='1.0' encoding='UTF-16'?>")
            .encode("utf-16")),
        "request-latin1-body": post(call(ECHO, ["caf\u00e9"]).replace(
            "<?xml version='1.0'?>", "<?xml version='1.0' encoding='ISO-8859-1'?>")
            .encode("latin-1")),
        "request-not-xml": post(b"{\"method\": \"echo\"}", content_type=b"application/json"),
        "request-half-line": b"POST /RP",
    })
    return seeds


def write(directory, seeds):
    os.makedirs(directory, exist_ok=True)
    for name, content in sorted(seeds.items()):
        if isinstance(content, str):
            content = content.encode("utf-8")
        with open(os.path.join(directory, name), "wb") as f:
            f.write(content)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "corpus")
    documents = responses()
    write(os.path.join(out, "fuzz_parseresponse"), documents)
    documents.update(calls())
    write(os.path.join(out, "fuzz_fromxml"), documents)
    write(os.path.join(out, "fuzz_serverrequest"), requests())


if __name__ == "__main__":
    main()
