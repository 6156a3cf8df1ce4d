#!/usr/bin/env python3
"""A minimal tavrin worker in Python, using only the standard library.

It speaks the remote protocol of docs/remote-protocol.md (JSON-RPC 2.0 in frames of a 4-byte
big-endian length followed by UTF-8 JSON) and serves the classes registered below with
``register``. Write your own teachers, controllers and perceptors as plain classes with the hook
methods you need (missing hooks behave like the defaults: they change nothing) and register them:

    register("MyTeacher", MyTeacher, kind="agent", version="1.0")

Run:  python3 tavrin_worker.py --host 127.0.0.1 --port 1337     (--port 0: any free port)
It prints "tavrin-worker listening on HOST:PORT" once it accepts connections, and ends on SIGINT or
SIGTERM.
"""

import argparse
import json
import math
import os
import signal
import socketserver
import struct
import sys
import threading

MAX_FRAME = 64 * 1024 * 1024

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603
HOOK_FAILED = -32000
UNKNOWN_CLIENT = -32001
UNKNOWN_CLASS = -32002


# ---- values -------------------------------------------------------------------------------------

class NdArray:
    """An n-dimensional array as it crosses the wire: element type, shape, flat row-major data."""

    DTYPES = ("float32", "float64", "int64", "int8")

    def __init__(self, dtype, shape, data):
        if dtype not in self.DTYPES:
            raise ValueError("unknown element type %r" % (dtype,))
        count = 1
        for d in shape:
            count *= d
        if count != len(data):
            raise ValueError("%d elements for shape %r" % (len(data), tuple(shape)))
        self.dtype, self.shape, self.data = dtype, list(shape), list(data)

    def map(self, fn):
        """A new array of the same type and shape with fn applied to every element."""
        cast = float if self.dtype.startswith("float") else int
        return NdArray(self.dtype, self.shape, [cast(fn(x)) for x in self.data])

    def __repr__(self):
        return "NdArray(%r, %r, %r)" % (self.dtype, self.shape, self.data)


def _special(x):
    if isinstance(x, str) and x in ("nan", "inf", "-inf"):
        return float(x)
    return x


def _float_out(x):
    if math.isnan(x):
        return "nan"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return x


def decode(j):
    if isinstance(j, list):
        return [decode(x) for x in j]
    if isinstance(j, dict):
        if len(j) == 1:
            (key, body), = j.items()
            if key == "$ndarray":
                data = body["data"]
                if body["dtype"].startswith("float"):
                    data = [float(_special(x)) for x in data]
                return NdArray(body["dtype"], body["shape"], data)
            if key == "$tuple":
                return tuple(decode(x) for x in body)
            if key == "$float":
                return float(_special(body))
            if key == "$map":
                return {k: decode(v) for k, v in body}
        return {k: decode(v) for k, v in j.items()}
    return j


def encode(v):
    if v is None or isinstance(v, (bool, int, str)):
        return v
    if isinstance(v, float):
        return v if math.isfinite(v) else {"$float": _float_out(v)}
    if isinstance(v, NdArray):
        data = [_float_out(float(x)) for x in v.data] if v.dtype.startswith("float") else [int(x) for x in v.data]
        return {"$ndarray": {"dtype": v.dtype, "shape": v.shape, "data": data}}
    if isinstance(v, tuple):
        return {"$tuple": [encode(x) for x in v]}
    if isinstance(v, list):
        return [encode(x) for x in v]
    if isinstance(v, dict):
        if any(str(k).startswith("$") for k in v):
            return {"$map": [[str(k), encode(x)] for k, x in v.items()]}
        return {str(k): encode(x) for k, x in v.items()}
    raise TypeError("a value of type %s cannot be sent" % type(v).__name__)


# ---- implementations ----------------------------------------------------------------------------

REGISTRY = {}  # class name -> (factory, kind, version); kind: "agent", "controller" or "perceptor"

# Hooks per manager, with their number of arguments and what a missing hook answers.
HOOKS = {
    "agent": {"filtered_sensor_space": (0, lambda: None), "reset": (0, lambda: None),
              "transform_sensors": (2, lambda s, e: s), "compute_action_mask": (2, lambda s, p: None),
              "transform_action": (2, lambda s, a: a), "compute_reward": (3, lambda s, a, r: r),
              "compute_success_criteria": (2, lambda s, a: False), "compute_termination": (2, lambda s, a: False)},
    "controller": {"filtered_sensor_space": (0, lambda: None), "reset": (0, lambda: None),
                   "compute_action": (2, None)},
    "perceptor": {"perceive": (1, None), "reset": (0, lambda: None)},
}


def register(name, factory, kind="agent", version="latest"):
    REGISTRY[name] = (factory, kind, version)


class ScaleTeacher:
    """Doubles every action (numbers and arrays, keeping the array's type and shape)."""

    def transform_action(self, sensors, action):
        if isinstance(action, NdArray):
            return action.map(lambda x: x * 2)
        if isinstance(action, (int, float)) and not isinstance(action, bool):
            return action * 2
        return action


class FailingTeacher:
    def transform_action(self, sensors, action):
        raise ValueError("no action is good enough")


class ConstantController:
    def compute_action(self, sensors, previous_action):
        return 1


class TickPerceptor:
    """Adds the number of observations it saw as the sensor "tick"."""

    def __init__(self):
        self.ticks = 0

    def perceive(self, sensors):
        self.ticks += 1
        return {"tick": self.ticks}

    def reset(self):
        self.ticks = 0


register("ScaleTeacher", ScaleTeacher, "agent", "1.0")
register("FailingTeacher", FailingTeacher, "agent")
register("ConstantController", ConstantController, "controller")
register("TickPerceptor", TickPerceptor, "perceptor")


# ---- serving ------------------------------------------------------------------------------------

class RpcError(Exception):
    def __init__(self, code, message, kind=None):
        super().__init__(message)
        self.code, self.message, self.kind = code, message, kind


class Worker:
    def __init__(self):
        self.lock = threading.Lock()
        self.instances = {}  # client id -> (kind, class name, object)
        self.next_client = 1
        self.token = os.urandom(4).hex()

    def dispatch(self, method, params):
        if method == "ping":
            return {"clients": len(self.instances), "version": "python-example"}
        manager = params.get("manager")
        if method == "create_with_client":
            env_init = params.get("kwargs", {}).get("env_init")
            if not isinstance(env_init, str):
                raise RpcError(INVALID_PARAMS, "create_with_client: params.kwargs.env_init: expected a class name")
            cls = env_init.split("://", 1)[-1].split("/")[-1]
            if cls not in REGISTRY:
                raise RpcError(UNKNOWN_CLASS, "no implementation registered under '%s'" % cls, "KeyError")
            factory, kind, version = REGISTRY[cls]
            if kind != manager:
                raise RpcError(INVALID_PARAMS, "class '%s' is served by the %s manager, not %r" % (cls, kind, manager),
                               "TypeError")
            with self.lock:
                client = "%s-%s-%d" % (manager, self.token, self.next_client)
                self.next_client += 1
                self.instances[client] = (kind, cls, factory())
            return {"client": client, "class": cls, "version": version}
        if method == "stop_all":
            with self.lock:
                gone = [c for c, (k, _, _) in self.instances.items() if k == manager]
                for c in gone:
                    del self.instances[c]
            return {"stopped": len(gone)}
        if method == "get_tavrin_version":
            args = params.get("args") or []
            if not args or args[0] not in REGISTRY:
                raise RpcError(UNKNOWN_CLASS, "no implementation registered under %r" % (args[:1],), "KeyError")
            return REGISTRY[args[0]][2]
        known = set().union(*(h.keys() for h in HOOKS.values()))
        if method not in known:
            raise RpcError(METHOD_NOT_FOUND, "unknown method '%s'" % method)
        client = params.get("client")
        with self.lock:
            entry = self.instances.get(client)
        if entry is None:
            raise RpcError(UNKNOWN_CLIENT, "unknown client %r" % (client,))
        kind, cls, obj = entry
        if method not in HOOKS[kind]:
            raise RpcError(METHOD_NOT_FOUND, "%s is not a hook of %s %s" % (method, kind, cls))
        arity, default = HOOKS[kind][method]
        args = [decode(a) for a in (params.get("args") or [])]
        if len(args) != arity:
            raise RpcError(INVALID_PARAMS, "%s takes %d arguments, got %d" % (method, arity, len(args)))
        hook = getattr(obj, method, None) or default
        if hook is None:
            raise RpcError(METHOD_NOT_FOUND, "%s %s has no %s" % (kind, cls, method))
        try:
            return encode(hook(*args))
        except RpcError:
            raise
        except Exception as e:  # the implementation's own failure goes back to the caller
            raise RpcError(HOOK_FAILED, str(e), type(e).__name__)

    def answer(self, payload):
        rid = None
        try:
            try:
                request = json.loads(payload.decode("utf-8"))
            except (ValueError, UnicodeDecodeError) as e:
                raise RpcError(PARSE_ERROR, "malformed JSON: %s" % e)
            if not isinstance(request, dict):
                raise RpcError(INVALID_REQUEST, "a request must be a JSON object")
            notification = "id" not in request
            rid = request.get("id")
            if request.get("jsonrpc") != "2.0":
                raise RpcError(INVALID_REQUEST, 'jsonrpc: expected "2.0"')
            method, params = request.get("method"), request.get("params") or {}
            if not isinstance(method, str):
                raise RpcError(INVALID_REQUEST, "method: expected a text")
            if not isinstance(params, dict):
                raise RpcError(INVALID_REQUEST, "params: expected an object")
            result = self.dispatch(method, params)
            if notification:
                return None
            return {"jsonrpc": "2.0", "id": rid, "result": result}
        except RpcError as e:
            error = {"code": e.code, "message": e.message}
            if e.kind:
                error["data"] = {"kind": e.kind}
            return {"jsonrpc": "2.0", "id": rid, "error": error}
        except Exception as e:
            return {"jsonrpc": "2.0", "id": rid, "error": {"code": INTERNAL_ERROR, "message": str(e)}}


def read_exactly(sock, n):
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            return None
        buf.extend(chunk)
    return bytes(buf)


def send(sock, message):
    body = json.dumps(message, allow_nan=False).encode("utf-8")
    sock.sendall(struct.pack(">I", len(body)) + body)


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        worker = self.server.worker
        while True:
            header = read_exactly(self.request, 4)
            if header is None:
                return
            (size,) = struct.unpack(">I", header)
            if size > MAX_FRAME:
                send(self.request, {"jsonrpc": "2.0", "id": None, "error": {
                    "code": INVALID_REQUEST, "message": "frame of %d bytes exceeds the limit of %d bytes" % (size, MAX_FRAME)}})
                return
            payload = read_exactly(self.request, size)
            if payload is None:
                return
            answer = worker.answer(payload)
            if answer is not None:
                send(self.request, answer)


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1337)
    args = parser.parse_args()
    server = Server((args.host, args.port), Handler)
    server.worker = Worker()
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    host, port = server.server_address[:2]
    print("tavrin-worker listening on %s:%d" % (host, port), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
