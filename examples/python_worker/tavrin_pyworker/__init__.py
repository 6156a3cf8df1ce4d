"""The parts of the Python example worker (see ../tavrin_worker.py, its entry).

protocol: frames, error codes, requests and answers, and "hello"; values: how values cross the wire;
worker: the registry of classes and the requests that reach them; tls: serving TLS in memory;
server: the asyncio loop that accepts connections and routes their requests; examples: example
classes.
"""
