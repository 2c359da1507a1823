"""The view's local web server: the page, its scripts, and each window's points, to the browser
of this machine alone.

It listens on 127.0.0.1 only; every request carries the random token of the URL it printed
(403 without it); a Host header other than 127.0.0.1 or localhost is refused (a page of another
site that a DNS name points here cannot read it); it answers from the sources it was given and
opens no path that a request names; a bad request gets a 4xx and a short message, never a
traceback. The library prints nothing: the server's log is kept, not written out."""

from __future__ import annotations

import http.server
import json
import re
import secrets
import socketserver
import struct
import threading
import time
import urllib.parse
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .decimate import Pyramid
from .page import asset, page_html
from .reference import Bands

# The widest window a request may ask for, in pixel columns.
MAX_WIDTH = 8192
_HOST = re.compile(r"(127\.0\.0\.1|localhost)(:(\d{1,5}))?\Z", re.IGNORECASE)


class BadRequest(Exception):
    """A request the server refuses: its status and short message."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class ViewState:
    """What the server shows: the pyramids of its sources, followed or not."""

    def __init__(self, pyramids: Sequence[Pyramid], follow: bool, title: str,
                 bands: Optional[Sequence[Optional[Bands]]] = None) -> None:
        self.pyramids = list(pyramids)
        self.bands = list(bands) if bands is not None else [None] * len(self.pyramids)
        self.follow = follow
        self.title = title
        self.generation = 0  # counts the times followed sources grew

    def meta(self) -> Dict[str, Any]:
        sources = []
        for pyramid, bands in zip(self.pyramids, self.bands):
            start, end = pyramid.span()
            source = pyramid.source
            sources.append({"label": source.label, "names": list(source.names), "time": source.time_name,
                            "blocks": pyramid.count, "start": start, "end": end,
                            "rising": pyramid.rising, "compared": None if bands is None else bands.compared})
        return {"title": self.title, "follow": self.follow, "generation": self.generation,
                "sources": sources}

    def window(self, query: Dict[str, List[str]]) -> bytes:
        source = _integer(query, "source", 0, len(self.pyramids) - 1)
        pyramid = self.pyramids[source]
        t0, t1 = _number(query, "t0"), _number(query, "t1")
        width = _integer(query, "width", 1, MAX_WIDTH)
        names = pyramid.source.names
        rows_text = _one(query, "rows")
        try:
            rows = [int(r) for r in rows_text.split(",")] if rows_text else []
        except ValueError:
            raise BadRequest(400, "rows must be signal numbers separated by commas") from None
        if any(not 0 <= r < len(names) for r in rows) or len(set(rows)) != len(rows):
            raise BadRequest(400, f"rows must be distinct signal numbers from 0 to {len(names) - 1}")
        drawn = pyramid.window(t0, t1, width, rows)
        return pack_window(drawn.x, drawn.y, {"raw": drawn.raw, "first": drawn.first, "end": drawn.end,
                                              "t0": t0, "t1": t1, "width": width, "rows": rows})


    def band(self, query: Dict[str, List[str]]) -> bytes:
        source = _integer(query, "source", 0, len(self.pyramids) - 1)
        bands = self.bands[source]
        names = self.pyramids[source].source.names
        row = _integer(query, "row", 0, max(len(names) - 1, 0))
        if bands is None or row >= len(names) or names[row] not in bands.compared:
            raise BadRequest(404, "that signal was not compared with a reference")
        t0, t1 = _number(query, "t0"), _number(query, "t1")
        width = _integer(query, "width", 1, MAX_WIDTH)
        xs, ys = bands.window(names[row], t0, t1, width)
        return pack_window(xs, ys, {"t0": t0, "t1": t1, "width": width, "row": row})


def pack_window(xs: Sequence["np.ndarray[Any, Any]"], ys: Sequence["np.ndarray[Any, Any]"],
                header: Dict[str, Any]) -> bytes:
    """A window's answer: the length of a JSON header (uint32, little-endian), the header, padded
    to 8 bytes, then every row's times (float64) and every row's values (float32)."""
    header = dict(header, counts=[len(x) for x in xs])
    text = json.dumps(header).encode()
    text += b" " * (-(4 + len(text)) % 8)
    parts = [struct.pack("<I", len(text)), text]
    parts += [np.ascontiguousarray(x, dtype="<f8").tobytes() for x in xs]
    parts += [np.ascontiguousarray(y, dtype="<f4").tobytes() for y in ys]
    return b"".join(parts)


def _one(query: Dict[str, List[str]], name: str) -> str:
    values = query.get(name)
    if values is None:
        raise BadRequest(400, f"{name} is missing")
    if len(values) != 1:
        raise BadRequest(400, f"{name} is given more than once")
    return values[0]


def _number(query: Dict[str, List[str]], name: str) -> float:
    try:
        value = float(_one(query, name))
    except ValueError:
        raise BadRequest(400, f"{name} must be a number") from None
    if not np.isfinite(value):
        raise BadRequest(400, f"{name} must be a finite number")
    return value


def _integer(query: Dict[str, List[str]], name: str, low: int, high: int) -> int:
    text = _one(query, name)
    if not re.fullmatch(r"\d{1,9}", text) or not low <= int(text) <= high:
        raise BadRequest(400, f"{name} must be a whole number from {low} to {high}")
    return int(text)


class _Handler(http.server.BaseHTTPRequestHandler):
    server: "_Server"
    protocol_version = "HTTP/1.1"
    server_version = "tolvane-view"
    sys_version = ""

    def do_GET(self) -> None:  # noqa: N802 - http.server's name
        started = time.perf_counter()
        try:
            status, kind, body = self._answer()
        except BadRequest as refused:
            status, kind, body = refused.status, "text/plain; charset=utf-8", f"{refused}\n".encode()
        except Exception as error:  # never a traceback to the client, nor on standard error
            self.server.errors.append(repr(error))
            status, kind, body = 500, "text/plain; charset=utf-8", b"the server failed on this request\n"
        # The time the answer took here, as browsers' tools show it (and the benchmark reads it).
        self._send(status, kind, body, timing=time.perf_counter() - started)

    def _refuse_method(self) -> None:
        self._send(405, "text/plain; charset=utf-8", b"only GET is served\n", allow=True)

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_HEAD = _refuse_method  # noqa: N815

    def _send(self, status: int, kind: str, body: bytes, allow: bool = False,
              timing: Optional[float] = None) -> None:
        self.send_response(status)
        if timing is not None:
            self.send_header("Server-Timing", f"answer;dur={timing * 1000:.3f}")
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        if allow:
            self.send_header("Allow", "GET")
        if kind.startswith("text/html"):
            # The page may load only what this server serves, and no other site may frame it.
            self.send_header("Content-Security-Policy",
                             "default-src 'self'; script-src 'self' 'unsafe-eval'; style-src 'self' "
                             "'unsafe-inline'; img-src 'self' data: blob:; "
                             "frame-ancestors 'self' http://localhost:* http://127.0.0.1:*")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _answer(self) -> Tuple[int, str, bytes]:
        host = self.headers.get("Host", "")
        match = _HOST.match(host)
        if not match or (match.group(3) is not None and int(match.group(3)) != self.server.server_address[1]):
            raise BadRequest(403, "this server answers requests for 127.0.0.1 or localhost only")
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        tokens = query.pop("token", [])
        if len(tokens) != 1 or not secrets.compare_digest(tokens[0].encode(), self.server.token.encode()):
            raise BadRequest(403, "a request needs the token of the URL the server printed")
        route = self.server.routes.get(url.path)
        if route is None:
            raise BadRequest(404, "no such page")
        return route(query)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        self.server.log.append(format % args)
        del self.server.log[:-100]


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = False
    token: str
    routes: Dict[str, Callable[[Dict[str, List[str]]], Tuple[int, str, bytes]]]

    def __init__(self, port: int) -> None:
        self.log: List[str] = []
        self.errors: List[str] = []
        super().__init__(("127.0.0.1", port), _Handler)

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass  # a client that went away: nothing to tell


class Server:
    """The server of one view: started at once, on a thread of its own."""

    def __init__(self, state: ViewState, port: int = 0) -> None:
        self.state = state
        self._httpd = _Server(port)
        self._httpd.token = secrets.token_urlsafe(24)
        self._httpd.routes = {
            "/": lambda q: (200, "text/html; charset=utf-8", page_html(self._httpd.token)),
            "/meta": lambda q: (200, "application/json", json.dumps(state.meta()).encode()),
            "/window": lambda q: (200, "application/octet-stream", state.window(q)),
            "/band": lambda q: (200, "application/octet-stream", state.band(q)),
        }
        for name in ("plotly.min.js", "view.js", "view.css"):
            self._httpd.routes["/" + name] = self._asset(name)
        self.port = self._httpd.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}/?token={self._httpd.token}"
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="tolvane-view", daemon=True)
        self._thread.start()

    @staticmethod
    def _asset(name: str) -> Callable[[Dict[str, List[str]]], Tuple[int, str, bytes]]:
        kind = {"js": "text/javascript; charset=utf-8", "css": "text/css; charset=utf-8"}[name.rsplit(".", 1)[1]]
        return lambda q: (200, kind, asset(name))

    @property
    def errors(self) -> List[str]:
        """The failures of requests the server answered with 500, as repr of the exception."""
        return self._httpd.errors

    def close(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()


class Follower:
    """Folds in what followed sources append, every `interval` seconds, on a thread."""

    def __init__(self, state: ViewState, interval: float = 0.25) -> None:
        self._state = state
        self._stop = threading.Event()
        self._interval = interval
        self.errors: List[str] = []
        self._thread = threading.Thread(target=self._run, name="tolvane-view-follow", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            grew = False
            for pyramid in self._state.pyramids:
                try:
                    grew = pyramid.extend() > 0 or grew
                except Exception as error:  # a file rewritten or broken: shown as it was
                    self.errors.append(repr(error))
            if grew:
                self._state.generation += 1

    def close(self) -> None:
        self._stop.set()
        self._thread.join()
