"""Serving: one asyncio loop accepts connections, answers "hello" and "ping" at once and hands the
other requests of each connection to a thread of that connection, in order."""

import argparse
import asyncio
import concurrent.futures
import ipaddress
import signal
import struct
import sys

from .protocol import (HANDSHAKE_TIMEOUT, INVALID_REQUEST, MAX_FRAME, Request, RpcError, error_answer, frame,
                       hello, looks_like_tls, result_answer)
from .tls import PlainStream, TlsStream, handshake_failure, tls_context
from .worker import Worker


def log(message):
    print("tavrin-worker: " + message, file=sys.stderr, flush=True)


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


def main(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1337)
    parser.add_argument("--tls-cert", help="PEM certificate (chain) of this worker: serve TLS only")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    parser.add_argument("--tls-client-ca", help="PEM CA: require a client certificate signed by it")
    parser.add_argument("--insecure", action="store_true", help="serve plaintext also outside the loopback range")
    return asyncio.run(run(parser.parse_args()))
