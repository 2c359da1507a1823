"""tolvane.view: starts the view's server on one or more plots and gives a handle on it."""

from __future__ import annotations

import html
import os
import threading
from typing import Any, Dict, Iterable, List, Optional, Sequence

from .._open import _URL, refuse_streams
from .._plot import Plot
from .._names import Key
from .._read import _path_argument, read
from .decimate import Pyramid
from .reference import Bands
from .server import Follower, Server, ViewState
from .sources import FileSource, PlotSource, Source


def open_source(source: Any, n_digits: Optional[int] = None,
                columns: Optional[Sequence[Key]] = None, storage_options: Optional[Dict[str, Any]] = None) -> Source:
    """A local plot file through its windows; a Plot as it is; anything else tolvane.read takes
    (a URL, a compressed file, a stream, a file object), read once."""
    if isinstance(source, Plot):
        return PlotSource(source, columns)
    if isinstance(source, (str, bytes)) or hasattr(source, "__fspath__"):
        path, path_bytes = _path_argument(source)
        try:
            refuse_streams(path, path_bytes, "the view")
        except ValueError:
            pass
        else:
            if not (_URL.match(path) and not os.path.exists(path_bytes)):
                return FileSource(source, n_digits, columns)
        plot = read(source, n_digits, storage_options=storage_options)
        return PlotSource(plot, columns, label=os.path.basename(path.rstrip("/")) or path)
    return PlotSource(read(source, n_digits), columns)


class View:
    """A running view: ``url`` (with its token), ``close()``, a context manager; shown inline in
    Jupyter (an iframe of the page). Its server answers on 127.0.0.1 alone."""

    def __init__(self, sources: Sequence[Source], follow: bool, port: int, title: str,
                 bands: Optional[Sequence[Optional[Bands]]] = None) -> None:
        self._sources = list(sources)
        self._pyramids = [Pyramid(s) for s in self._sources]
        self._follower: Optional[Follower] = None
        self._server: Optional[Server] = None
        self._lock = threading.Lock()
        try:
            for pyramid in self._pyramids:
                pyramid.extend()
            self._state = ViewState(self._pyramids, follow, title, bands)
            self._server = Server(self._state, port)
            if follow:
                self._follower = Follower(self._state)
        except BaseException:
            self.close()
            raise

    @property
    def url(self) -> str:
        """The page's address, token included: give it to a browser on this machine."""
        assert self._server is not None
        return self._server.url

    @property
    def port(self) -> int:
        assert self._server is not None
        return self._server.port

    @property
    def errors(self) -> List[str]:
        """What failed inside the server (requests answered 500, a followed file that broke)."""
        found = list(self._server.errors) if self._server is not None else []
        return found + (list(self._follower.errors) if self._follower is not None else [])

    def close(self) -> None:
        """Stops the server (and the following) and closes the files."""
        with self._lock:
            if self._follower is not None:
                self._follower.close()
                self._follower = None
            if self._server is not None:
                self._server.close()
                self._server = None
            for source in self._sources:
                source.close()
            self._sources = []

    def __enter__(self) -> "View":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._server is None else self._server.url
        return f"<tolvane.View {state}>"

    def _repr_html_(self) -> str:
        if self._server is None:
            return "<p>tolvane view: closed</p>"
        return (f'<iframe src="{html.escape(self._server.url, quote=True)}" width="100%" height="620" '
                'style="border: 1px solid #ddd"></iframe>')


def view(source: Any, *more: Any, follow: bool = False, port: int = 0, n_digits: Optional[int] = None,
         columns: Optional[Iterable[Key]] = None, open_browser: bool = False,
         storage_options: Optional[Dict[str, Any]] = None, reference: Any = None,
         compare_options: Optional[Dict[str, Any]] = None) -> View:
    """Shows plots in the browser: starts a local web server on their signals and returns its
    handle, a :class:`View` (``url``, ``close()``, a context manager; inline in Jupyter).

    ``source`` and ``more`` are plots to overlay, each anything :func:`tolvane.read` takes or a
    :class:`tolvane.Plot`. A local plot file is read through :func:`tolvane.open`'s windows and
    its values are never all held: a min/max pyramid of them is, and every zoom of the page
    reads the samples at the window's pixel-column edges. Other sources are read once. With
    ``follow``, files that grow are folded in as they grow (every quarter of a second), and a
    page that shows their end keeps showing it. ``port`` 0 lets the system pick one; the server
    listens on 127.0.0.1 only, and every request needs the token of ``url``.
    ``open_browser`` opens ``url`` with the :mod:`webbrowser` module. With ``reference`` (a plot
    as ``source`` is), each source is compared with it by :func:`tolvane.compare` (with
    ``compare_options``, its keywords): the page draws each compared signal's band and marks
    its points outside the band (each source is then read whole, as compare reads it). Needs plotly (its
    plotly.js, which the server serves): ``pip install 'quorel[view]'``.

        with tolvane.view("run42.plt", "run43.plt") as v:
            print(v.url)
    """
    from .page import asset

    asset("plotly.min.js")  # plotly missing: fail now, not in the browser
    wanted = None if columns is None else list(columns)
    sources: List[Source] = []
    try:
        for each in (source, *more):
            sources.append(open_source(each, n_digits, wanted, storage_options))
        title = " + ".join(s.label for s in sources) + " - tolvane view"
        bands = None if reference is None else compared(reference, sources, compare_options or {})
        handle = View(sources, follow, _port(port), title, bands)
    except BaseException:
        for each_source in sources:
            each_source.close()
        raise
    if open_browser:
        import webbrowser

        webbrowser.open(handle.url)
    return handle


def compared(reference: Any, sources: Sequence[Source], options: Dict[str, Any]) -> List[Optional[Bands]]:
    """Each source's comparison with the reference (read once)."""
    from .._compare import compare

    if not isinstance(reference, Plot):
        reference = read(reference)
    return [Bands(compare(reference, source.whole(), **options)) for source in sources]


def _port(port: Any) -> int:
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ValueError(f"port must be a whole number from 0 to 65535, not {port!r}")
    return port
