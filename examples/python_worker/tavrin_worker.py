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
hold up the client's heartbeat. The protocol, the values, TLS and the serving are in the package
tavrin_pyworker next to this file.
"""

import sys

from tavrin_pyworker.examples import ConstantController, FailingTeacher, ScaleTeacher, SlowTeacher, TickPerceptor
from tavrin_pyworker.server import main
from tavrin_pyworker.values import NdArray  # noqa: F401 (for classes written here)
from tavrin_pyworker.worker import register

register("ScaleTeacher", ScaleTeacher, "agent", "1.0")
register("FailingTeacher", FailingTeacher, "agent")
register("SlowTeacher", SlowTeacher, "agent")
register("ConstantController", ConstantController, "controller")
register("TickPerceptor", TickPerceptor, "perceptor")


if __name__ == "__main__":
    sys.exit(main(__doc__.splitlines()[0]))
