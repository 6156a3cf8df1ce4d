#!/usr/bin/env python3
"""A minimal tavrin worker in Python, using only the standard library.

It speaks the remote protocol of docs/remote-protocol.md (JSON-RPC 2.0 in frames of a 4-byte
big-endian length followed by UTF-8 JSON) and serves the classes registered below with
``register``. Write your own teachers, controllers and perceptors as plain classes with the hook
methods you need (missing hooks behave like the defaults: they change nothing) and register them:

    register("MyTeacher", MyTeacher, kind="agent", version="1.0")

Run:  python3 tavrin_worker.py --host 127.0.0.1 --port 1337     (--port 0: any free port)
      python3 tavrin_worker.py --tls-cert worker.pem --tls-key worker.key [--tls-client-ca ca.pem]
It prints "tavrin-worker listening on HOST:PORT" once it accepts connections, and ends on SIGINT or
SIGTERM. With --tls-cert and --tls-key it serves TLS only; --tls-client-ca admits only clients with
a certificate signed by that CA. Plaintext outside the loopback range needs --insecure.

Connections are served by one asyncio loop, which answers "hello" and "ping" at once; the hooks of
each connection run one after the other on a thread of that connection, so a slow hook does not
hold up the client's heartbeat.
"""

import argparse
import asyncio
import concurrent.futures
import ipaddress
import json
import math
import os
import signal
import ssl
import struct
import sys
import threading
import time

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


class SlowTeacher:
    """Takes as many milliseconds as the action says, then hands it back: a hook that outlasts heartbeats."""

    def transform_action(self, sensors, action):
        time.sleep(action / 1000.0)
        return action


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
register("SlowTeacher", SlowTeacher, "agent")
register("ConstantController", ConstantController, "controller")
register("TickPerceptor", TickPerceptor, "perceptor")


# ---- serving ------------------------------------------------------------------------------------

class RpcError(Exception):
    def __init__(self, code, message, kind=None, data=None):
        super().__init__(message)
        self.code, self.message, self.kind, self.data = code, message, kind, data


def log(message):
    print("tavrin-worker: " + message, file=sys.stderr, flush=True)


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


class Worker:
    def __init__(self):
        self.lock = threading.Lock()
        self.instances = {}  # client id -> (kind, class name, object)
        self.next_client = 1
        self.token = os.urandom(4).hex()

    def ping(self):
        with self.lock:
            return {"clients": len(self.instances), "version": "python-example"}

    def dispatch(self, method, params):
        if method == "ping":
            return self.ping()
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

    def answer(self, request):
        """The answer to a parsed request (None for a notification); runs on a connection's hook thread."""
        try:
            result = self.dispatch(request.method, request.params)
            return None if request.notification else result_answer(request.id, result)
        except RpcError as e:
            return error_answer(request.id, e)
        except Exception as e:
            return error_answer(request.id, RpcError(INTERNAL_ERROR, str(e)))


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


def handshake_failure(e):
    """Why a TLS handshake with a client failed, in words."""
    if isinstance(e, asyncio.TimeoutError):
        return "not done within %g s" % HANDSHAKE_TIMEOUT
    if isinstance(e, asyncio.IncompleteReadError):
        return "the client closed the connection during the handshake"
    if isinstance(e, ssl.SSLCertVerificationError):
        if e.verify_code == 10:  # X509_V_ERR_CERT_HAS_EXPIRED
            return "the client's certificate has expired"
        return "the client's certificate is not trusted by --tls-client-ca (%s)" % e.verify_message
    reason = getattr(e, "reason", None)
    if reason == "PEER_DID_NOT_RETURN_A_CERTIFICATE":
        return "the client presented no certificate (--tls-client-ca requires one)"
    if reason in ("WRONG_VERSION_NUMBER", "HTTP_REQUEST", "PACKET_LENGTH_TOO_LONG", "UNKNOWN_PROTOCOL",
                  "RECORD_LENGTH_MISMATCH"):
        return "the client does not speak TLS (%s): a plaintext client?" % reason.lower().replace("_", " ")
    if reason and "ALERT" in reason:
        return "the client refused the handshake (%s)" % reason.lower().replace("_", " ")
    return str(e) or type(e).__name__


class PlainStream:
    """A connection's bytes as they come."""

    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer

    async def readexactly(self, n):
        return await self.reader.readexactly(n)

    def write(self, data):
        self.writer.write(data)


class TlsStream:
    """TLS over a connection, worked in memory (ssl.MemoryBIO) on the event loop's thread, so that a failed
    handshake is this worker's to report and answers sent while a read waits do not race it."""

    def __init__(self, reader, writer, context):
        self.reader, self.writer = reader, writer
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.buffer = bytearray()

    def _flush(self):
        data = self.outgoing.read()
        if data:
            self.writer.write(data)

    async def _receive(self):
        data = await self.reader.read(65536)
        if not data:
            raise asyncio.IncompleteReadError(bytes(self.buffer), None)
        self.incoming.write(data)

    async def handshake(self):
        while True:
            try:
                self.tls.do_handshake()
                self._flush()
                return
            except ssl.SSLWantReadError:
                self._flush()
                await self._receive()
            except ssl.SSLError:
                self._flush()  # the alert that tells the client why
                raise

    async def readexactly(self, n):
        while len(self.buffer) < n:
            try:
                chunk = self.tls.read(65536)
                if not chunk:  # the client ended TLS
                    raise asyncio.IncompleteReadError(bytes(self.buffer), n)
                self.buffer.extend(chunk)
            except ssl.SSLWantReadError:
                self._flush()
                await self._receive()
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        return data

    def write(self, data):
        self.tls.write(data)
        self._flush()


async def serve(worker, tls, reader, writer):
    peer = writer.get_extra_info("peername")
    peer = "%s:%d" % (peer[0], peer[1]) if peer else "an unknown peer"
    stream = PlainStream(reader, writer)
    if tls is not None:
        stream = TlsStream(reader, writer, tls)
        try:
            await asyncio.wait_for(stream.handshake(), HANDSHAKE_TIMEOUT)
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError) as e:
            log("TLS handshake with %s failed: %s" % (peer, handshake_failure(e)))
            writer.close()
            return
    loop = asyncio.get_running_loop()
    hooks = concurrent.futures.ThreadPoolExecutor(max_workers=1)  # this connection's requests, in order

    def send(message):
        if message is not None and not writer.is_closing():
            stream.write(frame(message))

    try:
        while True:
            header = await stream.readexactly(4)
            (size,) = struct.unpack(">I", header)
            if size > MAX_FRAME:
                if tls is None and looks_like_tls(header):
                    log("connection from %s: the client speaks TLS, but this worker serves plaintext "
                        "(start it with --tls-cert and --tls-key); closing it" % peer)
                    break
                send({"jsonrpc": "2.0", "id": None, "error": {
                    "code": INVALID_REQUEST,
                    "message": "frame of %d bytes exceeds the limit of %d bytes" % (size, MAX_FRAME)}})
                break
            payload = await stream.readexactly(size)
            try:
                request = Request(payload)
            except RpcError as e:
                send(error_answer(None, e))
                continue
            if request.method == "ping":
                if not request.notification:
                    send(result_answer(request.id, worker.ping()))
            elif request.method == "hello":
                answer, close = hello(request)
                if close:
                    log("connection from %s: %s; closing it" % (peer, answer["error"]["message"]))
                    send(answer)
                    break
                if not request.notification:
                    send(answer)
            else:
                # One thread per connection keeps its hooks in order; the answer is sent from the loop.
                future = loop.run_in_executor(hooks, worker.answer, request)
                future.add_done_callback(lambda f: send(f.result()))
    except (asyncio.IncompleteReadError, ConnectionError, OSError):
        pass  # the client went away or the connection broke: this connection ends, the worker goes on
    finally:
        hooks.shutdown(wait=False)
        try:
            await writer.drain()
        except (ConnectionError, OSError):
            pass
        writer.close()


def tls_context(args):
    if not args.tls_cert and not args.tls_key and not args.tls_client_ca:
        return None
    if not args.tls_cert or not args.tls_key:
        raise SystemExit("tavrin-worker: a certificate and its key are both needed (--tls-cert, --tls-key)")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(args.tls_cert, args.tls_key)
    if args.tls_client_ca:
        context.load_verify_locations(args.tls_client_ca)
        context.verify_mode = ssl.CERT_REQUIRED
    return context


def is_loopback(host):
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


async def run(args):
    tls = tls_context(args)
    if tls is None and not args.insecure and not is_loopback(args.host):
        raise SystemExit("tavrin-worker: refusing to serve plaintext on %s:%d, outside the loopback range: serve TLS "
                         "(--tls-cert and --tls-key, with --tls-client-ca), or give --insecure on a trusted network"
                         % (args.host, args.port))
    worker = Worker()
    server = await asyncio.start_server(lambda r, w: serve(worker, tls, r, w), args.host, args.port)
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set)
    host, port = server.sockets[0].getsockname()[:2]
    print("tavrin-worker listening on %s:%d" % (host, port), flush=True)
    async with server:
        await stop.wait()
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1337)
    parser.add_argument("--tls-cert", help="PEM certificate (chain) of this worker: serve TLS only")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    parser.add_argument("--tls-client-ca", help="PEM CA: require a client certificate signed by it")
    parser.add_argument("--insecure", action="store_true", help="serve plaintext also outside the loopback range")
    return asyncio.run(run(parser.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
