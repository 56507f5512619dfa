#!/usr/bin/env python3
"""Scripted HTTPS server that the update check talks to in tests.

    python3 scripts/test_service.py --port P --cert OUTDIR/server.pem \
        [--key KEY] [--ready-file F] [--verbose]

Listens on 127.0.0.1 only (address it as https://localhost:P).  --port 0
picks a free port.  Once listening it writes the port number to the ready
file, or prints "ready PORT" on stdout.  SIGTERM or SIGINT stops it at once,
even while requests are stalled.

Every path except the control paths below gets the answer picked by the
current mode (default "current"):

    GET  /__mode?name=MODE[&seconds=S]  pick MODE; S shortens stall/trickle
    GET  /__reset                       mode back to default, log cleared,
                                        stalled/trickling answers end now
    GET  /__log                         JSON list of recorded requests
    POST /__script                      JSON {"status":..,"body_b64":..,
                                        "headers":{..}} or a JSON list of
                                        those (used in order, the last one
                                        repeats); switches to mode "script"
    GET  /__modes                       JSON list of mode names
"""
import argparse
import base64
import json
import os
import signal
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

DEFAULT_MODE = "current"
MIB = 1024 * 1024
STALL_MAX_S = 120.0
TRICKLE_MAX_S = 60.0
TRICKLE_STEP_S = 0.5
MAX_REQUEST_BODY = 16 * MIB


def _json(version=None, url="https://localhost/dl/Noctara-1.3.0.zip", **extra) -> bytes:
    doc = {} if version is None else {"latest_version": version}
    if url is not None:
        doc["download_url"] = url
    doc.update(extra)
    return json.dumps(doc, separators=(",", ":")).encode()


def _padded_json(total_size: int) -> bytes:
    """A valid "newer" JSON document of exactly total_size bytes, so only a
    size limit (not a parse error) can make a client reject it."""
    head = _json("1.3.0", pad="")
    assert head.endswith(b'""}')
    body = head[:-2] + b"x" * (total_size - len(head)) + b'"}'
    assert len(body) == total_size
    return body


NEWER = _json("1.3.0")

# mode -> (status, body).  Bodies are bytes exactly as they go on the wire.
FIXED = {
    "current": (200, _json("1.2.2", "https://localhost/dl/Noctara.zip")),
    "newer": (200, NEWER),
    "older": (200, _json("1.2.1", "https://localhost/dl/Noctara-1.2.1.zip")),
    "trailing_space": (200, _json("1.2.2 ", "https://localhost/dl/Noctara.zip")),
    "empty_version": (200, _json("", "https://localhost/dl/Noctara.zip")),
    "missing_version": (200, _json(None, "https://localhost/dl/Noctara.zip")),
    "escaped_slashes": (
        200,
        b'{"latest_version":"1.3.0","download_url":"https:\\/\\/localhost\\/dl\\/x.zip"}',
    ),
    "http_url": (200, _json("1.3.0", "http://localhost/x.zip")),
    "file_url": (200, _json("1.3.0", "file:///C:/windows/notepad.exe")),
    "empty_body": (200, b""),
    # Error statuses carry a tempting body: a client that ignores the status
    # would report an update.
    "status404": (404, NEWER),
    "status500": (500, NEWER),
    "bom": (200, b"\xef\xbb\xbf" + NEWER),
    "malformed_utf8": (
        200,
        b'{"latest_version":"1.3.0","download_url":"https://localhost/dl/x.zip",'
        b'"notes":"ok \xff\xfe\xc3( ok"}',
    ),
    "big": (200, _padded_json(MIB + 1000)),
    "exactly_1mib": (200, _padded_json(MIB)),
}
DYNAMIC = ("trickle", "stall", "redirect", "redirect_to_http", "echo", "script")
MODES = tuple(FIXED) + DYNAMIC


class State:
    def __init__(self):
        self.lock = threading.Lock()
        # Notified on reset and shutdown so stalls and trickles end early.
        self.wakeup = threading.Condition(self.lock)
        self.generation = 0
        self.reset()

    def reset(self):
        with self.lock:
            self.mode = DEFAULT_MODE
            self.seconds = None
            self.script = []
            self.log = []
            self.generation += 1
            self.wakeup.notify_all()

    def wait_reset(self, generation: int, seconds: float) -> bool:
        """Sleep up to seconds; True if a reset (or shutdown) came first."""
        deadline = time.monotonic() + seconds
        with self.lock:
            while self.generation == generation:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.wakeup.wait(left)
            return True


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "NoctaraTestService/1"
    sys_version = ""
    # Idle keep-alive connections and slow request senders give up eventually.
    timeout = STALL_MAX_S + 10

    @property
    def state(self) -> State:
        return self.server.state

    def log_message(self, fmt, *args):
        if self.server.verbose:
            super().log_message(fmt, *args)

    def do_GET(self):
        self._dispatch()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_OPTIONS = do_PATCH = do_GET

    def _read_body(self) -> bytes:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass  # trailers
                    return body
                if len(body) + size > MAX_REQUEST_BODY:
                    raise ValueError("request body too large")
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        if length > MAX_REQUEST_BODY:
            raise ValueError("request body too large")
        return self.rfile.read(length) if length > 0 else b""

    def _dispatch(self):
        try:
            body = self._read_body()
        except ValueError as e:
            self._send(400, str(e).encode(), close=True)
            return
        url = urlsplit(self.path)
        if url.path.startswith("/__"):
            self._control(url.path, parse_qs(url.query), body)
            return
        with self.state.lock:
            self.state.log.append(
                {
                    "method": self.command,
                    "path": self.path,
                    "headers": [[k, v] for k, v in self.headers.items()],
                    "body_hex": body.hex(),
                }
            )
            mode, seconds, generation = self.state.mode, self.state.seconds, self.state.generation
            script = None
            if mode == "script":
                script = self.state.script[0]
                if len(self.state.script) > 1:
                    self.state.script.pop(0)
        self._answer(mode, seconds, generation, script, url, body)

    def _control(self, path, query, body):
        st = self.state
        if path == "/__mode":
            name = query.get("name", [""])[0]
            if name not in MODES or name == "script":
                self._send(400, f"unknown mode {name!r}; use /__modes".encode())
                return
            try:
                seconds = float(query["seconds"][0]) if "seconds" in query else None
            except ValueError:
                self._send(400, b"seconds must be a number")
                return
            with st.lock:
                st.mode, st.seconds = name, seconds
            self._send(200, b"ok")
        elif path == "/__reset":
            st.reset()
            self._send(200, b"ok")
        elif path == "/__log":
            with st.lock:
                data = json.dumps(st.log).encode()
            self._send(200, data, {"Content-Type": "application/json"})
        elif path == "/__modes":
            self._send(200, json.dumps(MODES).encode(), {"Content-Type": "application/json"})
        elif path == "/__script" and self.command == "POST":
            try:
                doc = json.loads(body)
                answers = doc if isinstance(doc, list) else [doc]
                script = [
                    (
                        int(a.get("status", 200)),
                        base64.b64decode(a.get("body_b64", ""), validate=True),
                        {str(k): str(v) for k, v in a.get("headers", {}).items()},
                    )
                    for a in answers
                ]
                if not script:
                    raise ValueError("no answers")
            except (ValueError, TypeError, AttributeError) as e:
                self._send(400, f"bad script: {e}".encode())
                return
            with st.lock:
                st.mode, st.script = "script", script
            self._send(200, b"ok")
        else:
            self._send(404, b"unknown control path")

    def _answer(self, mode, seconds, generation, script, url, body):
        if mode in FIXED:
            status, data = FIXED[mode]
            self._send(status, data, {"Content-Type": "application/json"})
        elif mode == "script":
            status, data, headers = script
            self._send(status, data, headers)
        elif mode == "echo":
            doc = {
                "method": self.command,
                "path": self.path,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body_hex": body.hex(),
            }
            self._send(200, json.dumps(doc).encode(), {"Content-Type": "application/json"})
        elif mode in ("redirect", "redirect_to_http"):
            if "1" in parse_qs(url.query).get("redirected", []):
                self._send(200, NEWER, {"Content-Type": "application/json"})
                return
            scheme = "https" if mode == "redirect" else "http"
            port = self.server.server_address[1]
            target = f"{scheme}://localhost:{port}/api/proxy?file=check_update.php&redirected=1"
            self._send(302, b"", {"Location": target})
        elif mode == "stall":
            limit = min(seconds if seconds is not None else STALL_MAX_S, STALL_MAX_S)
            self.state.wait_reset(generation, limit)
            self.close_connection = True
        elif mode == "trickle":
            self._trickle(generation, min(seconds if seconds is not None else TRICKLE_MAX_S, TRICKLE_MAX_S))

    def _trickle(self, generation, limit):
        # Content-Length promises more than can arrive within the time limit,
        # so the answer is never complete: the client must time out or fail.
        steps = int(limit / TRICKLE_STEP_S)
        chunk = 4
        data = _padded_json(max(256, (steps + 2) * chunk))
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.close_connection = True
        try:
            for i in range(steps):
                self.wfile.write(data[i * chunk:(i + 1) * chunk])
                self.wfile.flush()
                if self.state.wait_reset(generation, TRICKLE_STEP_S):
                    break
        except OSError:
            pass  # the client gave up, which is what the test wants

    def _send(self, status, data, headers=None, close=False):
        headers = dict(headers or {})
        lower = {k.lower() for k in headers}
        self.send_response(status)
        if "content-type" not in lower:
            self.send_header("Content-Type", "text/plain; charset=utf-8")
        if "content-length" not in lower:
            self.send_header("Content-Length", str(len(data)))
        for k, v in headers.items():
            self.send_header(k, v)
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, port, context, verbose):
        self.context = context
        self.verbose = verbose
        self.state = State()
        super().__init__(("127.0.0.1", port), Handler)

    def finish_request(self, request, client_address):
        # TLS handshake runs here, in the per-connection thread, so a client
        # that never finishes its handshake cannot block accept().
        request.settimeout(10)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            if self.verbose:
                print(f"handshake with {client_address} failed: {e}", file=sys.stderr)
            return
        if self.verbose:
            print(f"TLS {tls.version()} {tls.cipher()[0]} with {client_address}", file=sys.stderr)
        tls.settimeout(Handler.timeout)
        try:
            super().finish_request(tls, client_address)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        # Clients that drop connections mid-answer are expected in these tests.
        if self.verbose:
            super().handle_error(request, client_address)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--port", type=int, required=True, help="0 picks a free port")
    p.add_argument("--cert", required=True, help="PEM with the server certificate (and chain)")
    p.add_argument("--key", help="PEM private key, if not inside --cert")
    p.add_argument("--ready-file", help="written with the port number once listening")
    p.add_argument("--verbose", action="store_true")
    args = p.parse_args(argv)

    if args.ready_file:
        try:
            os.unlink(args.ready_file)  # a stale file must not look ready
        except FileNotFoundError:
            pass

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(args.cert, args.key)

    server = Server(args.port, ctx, args.verbose)
    port = server.server_address[1]
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()

    if args.ready_file:
        tmp = f"{args.ready_file}.{os.getpid()}.tmp"
        with open(tmp, "w") as f:
            f.write(f"{port}\n")
        os.replace(tmp, args.ready_file)  # readers never see a half-written file
    else:
        print(f"ready {port}", flush=True)

    while not stop.wait(0.2):
        pass
    server.shutdown()
    server.server_close()
    # Release stalled handlers; they are daemon threads and would not block
    # exit anyway, but this lets them close their sockets cleanly.
    with server.state.lock:
        server.state.generation += 1
        server.state.wakeup.notify_all()
    if args.ready_file:
        try:
            os.unlink(args.ready_file)
        except FileNotFoundError:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
