"""The classes this worker serves, and the requests that reach them: making and releasing instances
and calling their hooks."""

import os
import threading

from .protocol import (HOOK_FAILED, INTERNAL_ERROR, INVALID_PARAMS, METHOD_NOT_FOUND, UNKNOWN_CLASS,
                       UNKNOWN_CLIENT, RpcError, error_answer, result_answer)
from .values import decode, encode

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
