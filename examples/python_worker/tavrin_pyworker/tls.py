"""Serving TLS: the server's context from the command line, TLS worked in memory so that a failed
handshake is this worker's to report, and the words for why it failed."""

import asyncio
import ssl

from .protocol import HANDSHAKE_TIMEOUT


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
