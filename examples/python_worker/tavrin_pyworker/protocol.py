"""The wire format: frames of a 4-byte big-endian length and UTF-8 JSON, JSON-RPC 2.0 requests and
answers, the error codes, and the answer to "hello"."""

import json
import struct

MAX_FRAME = 64 * 1024 * 1024
PROTOCOL_VERSION = 2
HANDSHAKE_TIMEOUT = 10.0

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603
HOOK_FAILED = -32000
UNKNOWN_CLIENT = -32001
UNKNOWN_CLASS = -32002
PROTOCOL_MISMATCH = -32003


class RpcError(Exception):
    def __init__(self, code, message, kind=None, data=None):
        super().__init__(message)
        self.code, self.message, self.kind, self.data = code, message, kind, data


class Request:
    """A parsed request: its id (None also for a notification), method and params."""

    def __init__(self, payload):
        self.id, self.notification = None, True
        try:
            request = json.loads(payload.decode("utf-8"))
        except (ValueError, UnicodeDecodeError) as e:
            raise RpcError(PARSE_ERROR, "malformed JSON: %s" % e)
        if not isinstance(request, dict):
            raise RpcError(INVALID_REQUEST, "a request must be a JSON object")
        self.notification = "id" not in request
        self.id = request.get("id")
        if request.get("jsonrpc") != "2.0":
            raise RpcError(INVALID_REQUEST, 'jsonrpc: expected "2.0"')
        self.method, self.params = request.get("method"), request.get("params") or {}
        if not isinstance(self.method, str):
            raise RpcError(INVALID_REQUEST, "method: expected a text")
        if not isinstance(self.params, dict):
            raise RpcError(INVALID_REQUEST, "params: expected an object")


def result_answer(rid, result):
    return {"jsonrpc": "2.0", "id": rid, "result": result}


def error_answer(rid, e):
    error = {"code": e.code, "message": e.message}
    if e.kind or e.data:
        error["data"] = dict(e.data or {}, **({"kind": e.kind} if e.kind else {}))
    return {"jsonrpc": "2.0", "id": rid, "error": error}


def hello(request):
    """The answer to "hello", and whether the connection ends after it (a version this worker does not speak)."""
    version = request.params.get("protocol")
    if not isinstance(version, int) or isinstance(version, bool):
        error = RpcError(INVALID_PARAMS, "hello: params.protocol: expected the protocol version (an integer)")
        return error_answer(request.id, error), True
    if version != PROTOCOL_VERSION:
        message = "protocol version mismatch: the client speaks version %d, this worker speaks version %d" % (
            version, PROTOCOL_VERSION)
        return error_answer(request.id, RpcError(PROTOCOL_MISMATCH, message, "ProtocolError",
                                                 {"protocol": PROTOCOL_VERSION})), True
    return result_answer(request.id, {"protocol": PROTOCOL_VERSION, "version": "python-example"}), False


def frame(message):
    body = json.dumps(message, allow_nan=False).encode("utf-8")
    return struct.pack(">I", len(body)) + body


def looks_like_tls(header):
    """A TLS record (handshake or alert, version 3.x) where a frame header should be."""
    return header[0] in (21, 22) and header[1] == 3
