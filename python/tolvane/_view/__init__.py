"""tolvane.view: a plot's signals in the browser, decimated on a local server."""

from .api import View, view

__all__ = ["View", "view"]
