"""The view's page: its HTML, its own script and style (in static/), and plotly.js, which the
`plotly` package ships; nothing of it comes from the network."""

from __future__ import annotations

import html
import os
from typing import Any, Dict

from .._tables import library

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")


def plotly_js() -> str:
    """plotly.js, minified, as the installed `plotly` package ships it."""
    offline = library("plotly.offline", "view", "tolvane's view")
    text: Any = offline.get_plotlyjs()
    return str(text)


# The page's files, each read once (a plain dict: the type checkers' view of lru_cache's
# wrapper is not a function's).
_ASSETS: Dict[str, bytes] = {}


def asset(name: str) -> bytes:
    """One of the page's files: plotly.min.js, view.js or view.css."""
    found = _ASSETS.get(name)
    if found is None:
        if name == "plotly.min.js":
            found = plotly_js().encode()
        else:
            with open(os.path.join(STATIC, name), "rb") as file:
                found = file.read()
        _ASSETS[name] = found
    return found


def body_html(follow_key: bool) -> str:
    """The page's body: the list of signals, its keys, the cursor's readout and the plot."""
    follow = " &middot; f: follow" if follow_key else ""
    return f"""<aside><input id="filter" type="search" placeholder="filter signals ( / )" autocomplete="off">
<ul id="signals"></ul>
<p class="keys">click: a panel of its own &middot; shift-click: into the last panel &middot;
drag: zoom &middot; wheel: zoom &middot; p: pan &middot; z: zoom box &middot; r or double-click: reset
&middot; &larr; &rarr;: move &middot; + &minus;: zoom in, out{follow}</p></aside>
<main><div id="readout">&nbsp;</div><div id="plot"></div></main>"""


def page_html(token: str, title: str = "tolvane view") -> bytes:
    """The page the server serves: its scripts and style come from the same server, with the token."""
    t = html.escape(token, quote=True)
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>
<link rel="icon" href="data:,">
<link rel="stylesheet" href="view.css?token={t}">
<script src="plotly.min.js?token={t}"></script>
<script src="view.js?token={t}" defer></script></head>
<body><div id="view" data-token="{t}">
{body_html(True)}</div></body></html>
""".encode()
